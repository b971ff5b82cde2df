#!/usr/bin/env bash
# The built executable as a file: a self-contained 32-bit GUI program with
# its version record and icon. Needs no Wine.
set -euo pipefail
: "${KAVRO_EXE:?}" "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

description=$(file -b "$KAVRO_EXE")
[[ $description == "PE32 executable (GUI) Intel 80386"* ]] || fail "file says: $description"

headers=$(i686-w64-mingw32-objdump -p "$KAVRO_EXE")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "not for the GUI subsystem"
grep -q '^AddressOfEntryPoint' <<<"$headers" || fail "no entry point"
dlls=$(grep 'DLL Name:' <<<"$headers" | awk '{print tolower($3)}' | sort | tr '\n' ' ')
expect_eq "imported DLLs (system DLLs only)" "$dlls" "advapi32.dll kernel32.dll msvcrt.dll user32.dll "
# Windows XP (5.01) still loads it.
subsystem=$(awk '/^MajorSubsystemVersion/{major=$2} /^MinorSubsystemVersion/{minor=$2} END{print major "." minor}' <<<"$headers")
expect_eq "subsystem version at most 5.01" "$(awk -v v="$subsystem" 'BEGIN{split(v, p, "."); print (p[1] < 5 || (p[1] == 5 && p[2] <= 1))}')" 1
# No manifest: a manifest that declares an execution level would turn off
# the UAC file virtualization that Windows gives a legacy program.
expect_eq "manifests" "$(wrestool -l --type=24 "$KAVRO_EXE" | wc -l)" 0

# The version record, read back from the file.
wrestool -x --raw --type=version "$KAVRO_EXE" >"$work/version.bin"
python3 "$(dirname "$0")/read_version.py" "$work/version.bin" >"$work/version.txt"
expect_eq "version record" "$(cat "$work/version.txt")" "FileVersion#=1.0.0.0
ProductVersion#=1.0.0.0
table=040904B0
CompanyName=KAVRO
FileDescription=KAVRO DAQ card driver registration for DASYLab 8.0
ProductName=KAVRO DAQ Cards Driver Registration
FileVersion=1.00
ProductVersion=1.00
InternalName=kavro-register
OriginalFilename=kavro-register.exe
translation=040904B0"

# One icon group of three images: 16, 32 and 48 pixels.
expect_eq "icon groups" "$(wrestool -l --type=group_icon "$KAVRO_EXE" | wc -l)" "1"
wrestool -x --type=group_icon -o "$work/icon.ico" "$KAVRO_EXE"
sizes=$(icotool -l "$work/icon.ico" | sed -E 's/.*--width=([0-9]+) --height=([0-9]+).*/\1x\2/' | tr '\n' ' ')
expect_eq "icon images" "$sizes" "16x16 32x32 48x48 "

finish
