#!/usr/bin/env bash
# The failure path under Wine and Xvfb: exactly one box, titled "Alarm",
# with the warning text and style 0x30; once it is dismissed the program
# exits 1, having created or changed nothing.
set -euo pipefail
: "${KAVRO_EXE:?}" "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"

expected_box="Call user32.MessageBoxA(00000000,\"${warning_text//\\/\\\\}\",\"Alarm\",00000030)"

# Runs the program, expects the box, dismisses it as a user would.
run_and_dismiss() {  # run_and_dismiss WHAT
  start_exe /
  local boxes
  boxes=$(wait_for_window Alarm)
  expect_eq "$1: boxes titled Alarm" "$(wc -w <<<"$boxes")" 1
  if [ -n "$boxes" ]; then
    sleep 1  # let a second window show up, if there were one
    expect_eq "$1: windows on screen" "$(xdotool search --onlyvisible --name '.+' | wc -l)" 1
    xdotool windowfocus --sync "$boxes" key Return
  fi
  wait_exe
  expect_eq "$1: exit status" "$status" 1
  expect_eq "$1: the box as handed to the system" "$(calls_from_exe | grep MessageBox)" "$expected_box"
}

# The install directory is missing: nothing is created.
rm -rf "$drive_c/Program Files/DASYLab 8.0"
before=$(find "$drive_c" | sort)
run_and_dismiss "missing directory"
expect_eq "missing directory: nothing created" "$(find "$drive_c" | sort)" "$before"
expect_eq "missing directory: no write attempted" "$(calls_from_exe | grep -c WritePrivate)" 0

# DASYLab.ini is read-only: it stays as it was. Wine shows a file without
# write bits as read-only, but root may write it all the same, so the file
# is also made unwritable for root: a read-only bind mount of itself.
reset_install_dir
printf '[Hardware]\r\nMKAVRO.DLL=Old Driver\r\n' >"$ini"
chmod 0444 "$ini"
read_only_mount=no
if [ "$(id -u)" -ne 0 ]; then
  read_only_mount=not-needed
elif mount --bind "$ini" "$ini" 2>/dev/null; then
  read_only_mount=yes
  trap 'umount "$ini" 2>/dev/null || true' EXIT
  mount -o remount,ro,bind "$ini" || fail "cannot remount $ini read-only"
fi
if [ "$read_only_mount" = no ]; then
  echo "SKIPPED: read-only file (as root, and mounting is not permitted here)"
else
  run_and_dismiss "read-only file"
  if [ "$read_only_mount" = yes ]; then umount "$ini"; fi
  expect_file "read-only file: unchanged" "$ini" '[Hardware]\r\nMKAVRO.DLL=Old Driver\r\n'
  expect_eq "read-only file: nothing added" "$(ls -A "$install_dir")" "DASYLab.ini"
fi

finish
