#!/usr/bin/env bash
# The normal path under Wine: the entry is written (file created, key added,
# value replaced), the program exits 0 and never makes a window, whatever
# its arguments and starting directory.
set -euo pipefail
: "${KAVRO_EXE:?}" "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"

expected_calls='Call kernel32.SetCurrentDirectoryA("C:\\Program Files\\DASYLab 8.0\\")
Call kernel32.WritePrivateProfileStringA("Hardware","MKAVRO.DLL","KAVRO DAQ Cards Driver","C:\\Program Files\\DASYLab 8.0\\DASYLab.ini")'

run_normally() {  # run_normally WHAT CWD ARGS...
  local what=$1
  shift
  start_exe "$@"
  wait_exe
  expect_eq "$what: exit status" "$status" 0
  expect_eq "$what: calls, and no window" "$(calls_from_exe)" "$expected_calls"
}

# Created: only the section and the entry.
reset_install_dir
run_normally "missing file" /
expect_file "created file" "$ini" '[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'

# Added to an existing section, with arguments, from another directory.
elsewhere=$(mktemp -d)
printf '[Settings]\r\nLanguage=English\r\n[Hardware]\r\nMDEMO.DLL=Demo Board\r\n' >"$ini"
run_normally "key added" "$elsewhere" /quiet "D:\\other.ini" --help
expect_file "key added" "$ini" \
  '[Settings]\r\nLanguage=English\r\n[Hardware]\r\nMDEMO.DLL=Demo Board\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'
expect_eq "starting directory untouched" "$(ls -A "$elsewhere")" ""
rm -rf "$elsewhere"

# Replaced: one line for the key, with the new value.
printf '[Hardware]\r\nMKAVRO.DLL=Old Driver\r\n[Other]\r\nx=1\r\n' >"$ini"
run_normally "value replaced" "$drive_c"
expect_file "value replaced" "$ini" '[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n[Other]\r\nx=1\r\n'

finish
