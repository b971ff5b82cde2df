#!/usr/bin/env bash
# The normal path under Wine: the entry is written (file created, key added,
# value replaced) under the run lock, in place after a flushed record of the
# write, the program exits 0 and never makes a window, whatever its
# arguments and starting directory. A second run writes nothing; copies
# running at once all succeed.
set -euo pipefail
: "${KAVRO_EXE:?}" "${KAVRO_PROBE:?}" "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"

dir='C:\\Program Files\\DASYLab 8.0\\'
ini_name="L\"${dir}DASYLab.ini\""
lock="L\"${dir}.dasylab.ini.kavro-lock\""
# A name looked at, never through a link (backup semantics, reparse point).
look_at() { echo "Call kernel32.CreateFileW($1,00000000,00000007,00000000,00000003,02200000,00000000)"; }
enter="Call kernel32.SetCurrentDirectoryA(\"$dir\")
Call kernel32.CreateFileW($lock,c0000000,00000007,00000000,00000001,00000002,00000000)
$(look_at "$lock")"
leave="$(look_at "$lock")
Call kernel32.DeleteFileW($lock)"
look_ini=$(look_at "$ini_name")
# Under Wine a missing file's name is claimed with an empty file, which is
# then written in place like any other.
claim="Call kernel32.CreateFileW($ini_name,c0060000,00000004,00000000,00000001,00000080,00000000)"
read_ini="Call kernel32.CreateFileW($ini_name,80020000,00000007,00000000,00000003,00000080,00000000)"
open_to_write="Call kernel32.CreateFileW($ini_name,c0000000,00000007,00000000,00000003,00000080,00000000)"
temporary="L\"${dir}.dasylab.ini.<n>.kavro-tmp\""
record="L\"${dir}.dasylab.ini.<n>.kavro-redo\""
# The calls that write the file in place, from opening it to write on: the
# record made (shared only for its rename and removal), its head written and
# flushed first, then the rest of it and the whole head; renamed, still
# open, then flushed, and the directory flushed; the file written and flushed; the
# record removed.
write_in_place="$open_to_write
Call kernel32.CreateFileW($temporary,c0060000,00000004,00000000,00000001,00000080,00000000)
Call kernel32.WriteFile(...)
Call kernel32.FlushFileBuffers(...)
Call kernel32.WriteFile(...)
Call kernel32.MoveFileExW($temporary,$record,00000009)
Call kernel32.FlushFileBuffers(...)
Call kernel32.CreateFileW(L\"${dir}\",c0000000,00000007,00000000,00000003,02000000,00000000)
Call kernel32.FlushFileBuffers(...)
Call kernel32.WriteFile(...)
Call kernel32.FlushFileBuffers(...)
Call kernel32.DeleteFileW($record)
$leave"

run_normally() {  # run_normally WHAT EXPECTED_CALLS CWD ARGS...
  local what=$1 expected=$2
  shift 2
  start_exe "$@"
  wait_exe
  expect_eq "$what: exit status" "$status" 0
  expect_eq "$what: calls, and no window" "$(calls_from_exe)" "$expected"
}

# Created: only the section and the entry.
reset_install_dir
run_normally "missing file" "$enter
$look_ini
$claim
$look_ini
$read_ini
$write_in_place" /
expect_file "created file" "$ini" '[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'

# Added to an existing section, with arguments, from another directory.
elsewhere=$(mktemp -d)
printf '[Settings]\r\nLanguage=English\r\n[Hardware]\r\nMDEMO.DLL=Demo Board\r\n' >"$ini"
run_normally "key added" "$enter
$look_ini
$read_ini
$write_in_place" "$elsewhere" /quiet "D:\\other.ini" --help
expect_file "key added" "$ini" \
  '[Settings]\r\nLanguage=English\r\n[Hardware]\r\nMDEMO.DLL=Demo Board\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'
expect_eq "starting directory untouched" "$(ls -A "$elsewhere")" ""
rm -rf "$elsewhere"

# Replaced: one line for the key, with the new value. The file is hidden
# and a system file; it stays both, as the system reads it back.
printf '[Hardware]\r\nMKAVRO.DLL=Old Driver\r\n[Other]\r\nx=1\r\n' >"$ini"
for flag in +h +s; do
  "$wine_tools" cmd /c attrib "$flag" 'C:\Program Files\DASYLab 8.0\DASYLab.ini' >/dev/null
done
describe() { "$wine_tools" "$KAVRO_PROBE" describe 'C:\Program Files\DASYLab 8.0\DASYLab.ini'; }
before=$(describe)
[[ $before == attributes=0026* ]] || fail "hidden, system: not set up ($before)"
run_normally "value replaced" "$enter
$look_ini
$read_ini
$write_in_place" "$drive_c"
expect_file "value replaced" "$ini" '[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n[Other]\r\nx=1\r\n'
expect_eq "hidden, system, DACL kept" "$(describe | sed 's/ created=[0-9a-f]*//')" \
  "$(sed 's/ created=[0-9a-f]*//' <<<"$before")"

# Run again: the file already holds the entry and is not written. It is
# opened to write all the same, as a file written in place is, to be
# locked itself and read again under that lock.
state=$(stat -c '%i %Y' "$ini")
run_normally "already registered" "$enter
$look_ini
$read_ini
$open_to_write
$leave" /
expect_eq "already registered: not written" "$(stat -c '%i %Y' "$ini")" "$state"

# Copies at once: all exit 0, the entry is there once, nothing else changed
# and nothing is left behind.
printf '[A]\r\nx=1\r\n[Hardware]\r\nMDEMO.DLL=Demo Board\r\n[B]\r\ny=2\r\n' >"$ini"
pids=()
for _ in 1 2 3 4; do
  wine "$KAVRO_EXE" >/dev/null 2>&1 &
  pids+=($!)
done
statuses=""
for pid in "${pids[@]}"; do
  wait "$pid" && statuses+=0 || statuses+=$?
done
expect_eq "copies at once: exit statuses" "$statuses" 0000
expect_file "copies at once" "$ini" \
  '[A]\r\nx=1\r\n[Hardware]\r\nMDEMO.DLL=Demo Board\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n[B]\r\ny=2\r\n'
expect_eq "copies at once: nothing left behind" "$(ls -A "$install_dir")" "DASYLab.ini"

finish
