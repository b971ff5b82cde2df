#!/usr/bin/env bash
# The failure path under Wine and Xvfb: exactly one box, titled "Alarm",
# with the warning text and style 0x30; once it is dismissed the program
# exits 1, having created or changed nothing. A missing install directory,
# a read-only file, a file held open, a full disk.
set -euo pipefail
: "${KAVRO_EXE:?}" "${KAVRO_PROBE:?}" "${KAVRO_RUN_DIR:?}"
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

# Refused writes: the box, and DASYLab.ini byte for byte as it was, with
# nothing beside it.
refused() {  # refused WHAT: runs, dismisses, checks the file
  local original="$KAVRO_RUN_DIR/refused.ini"
  cp "$ini" "$original"
  run_and_dismiss "$1"
  cmp -s "$ini" "$original" || fail "$1: DASYLab.ini changed"
  expect_eq "$1: nothing added" "$(ls -A "$install_dir" | grep -v '^filler$')" "DASYLab.ini"
}

# Read-only (no write bits, which Wine shows as the read-only attribute):
# refused for root too.
reset_install_dir
printf '[Hardware]\r\nMKAVRO.DLL=Old Driver\r\n' >"$ini"
chmod 0444 "$ini"
refused "read-only file"

# Held open without sharing by another program for longer than a moment.
chmod 0644 "$ini"
hold_open 'C:\Program Files\DASYLab 8.0\DASYLab.ini'
refused "held file"
let_go

# The disk is full: a small tmpfs mounted at the install directory.
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=64k tmpfs "$install_dir"; then
  trap 'umount "$install_dir" 2>/dev/null || true' EXIT
  python3 -c 'import sys; open(sys.argv[1], "wb").write(b"[Hardware]\r\n" + b"Key=Value\r\n" * 2900)' "$ini"
  dd if=/dev/zero of="$install_dir/filler" bs=1k 2>/dev/null || true
  refused "disk full"
  umount "$install_dir"
else
  echo "SKIPPED: disk full (mounting a tmpfs is not permitted here)"
fi

finish
