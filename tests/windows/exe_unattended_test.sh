#!/usr/bin/env bash
# Run the way deployment agents run programs, in a window station nobody can
# see: the program never waits for a box. With DASYLab missing it writes the
# warning to the standard error it was given and exits 1, creating nothing;
# with DASYLab present it registers and exits 0.
set -euo pipefail
: "${KAVRO_EXE:?}" "${KAVRO_LAUNCHER:?}" "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"

# The 32-bit program may take a minute to start where it is emulated.
limit=600
cp "$KAVRO_EXE" "$drive_c/kavro-register.exe"
error_log="$drive_c/unattended-stderr.txt"
missing_cause='kavro-register: C:\Program Files\DASYLab 8.0\: no such directory; install DASYLab 8.0 there, or add the line MKAVRO.DLL=KAVRO DAQ Cards Driver to the section [Hardware] of DASYLab.ini where it is installed'
launch() {
  "$wine_tools" "$KAVRO_LAUNCHER" 'C:\kavro-register.exe' 'C:\unattended-stderr.txt' "$limit" |
    tr -d '\r'
}

rm -rf "$drive_c/Program Files/DASYLab 8.0"
before=$(find "$drive_c" -path "$drive_c/unattended-stderr.txt" -prune -o -print | sort)
expect_eq "DASYLab missing: ends by itself" "$(launch)" "exit 1"
expect_file "DASYLab missing: the warning and its cause on standard error" "$error_log" \
  "${warning_text//\\/\\\\}\r\n${missing_cause//\\/\\\\}\r\n"
expect_eq "DASYLab missing: nothing created" \
  "$(find "$drive_c" -path "$drive_c/unattended-stderr.txt" -prune -o -print | sort)" "$before"

# With no display at all (ssh, cron, a deployment tool on Linux) the box
# cannot be shown: the warning goes to standard error, and where that is
# closed too the status says the warning was not reported.
no_display() { env -u DISPLAY timeout "$limit" wine "$drive_c/kavro-register.exe"; }
status=0
no_display 2>"$KAVRO_RUN_DIR/no-display.err" || status=$?
expect_eq "no display: exit status" "$status" 1
expect_eq "no display: the warning and its cause" "$(tr -d '\r' <"$KAVRO_RUN_DIR/no-display.err")" \
  "$warning_text
$missing_cause"
status=0
no_display 2>&- || status=$?
expect_eq "no display, no standard error: exit status" "$status" 2

reset_install_dir
expect_eq "DASYLab present: registers" "$(launch)" "exit 0"
expect_file "DASYLab present: the entry" "$ini" '[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'
expect_file "DASYLab present: nothing on standard error" "$error_log" ""

finish
