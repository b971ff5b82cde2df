#!/usr/bin/env bash
# Builds the native program and runs its main job on a built-in sample: a
# scratch drive C: under build/ holding "Program Files/DASYLab 8.0" with a
# sample DASYLab.ini. Shows the file before and after.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target kavro-register >/dev/null

prefix="$PWD/build/demo-prefix"
install_dir="$prefix/drive_c/Program Files/DASYLab 8.0"
rm -rf "$prefix"
mkdir -p "$install_dir"
cp scripts/demo/DASYLab.ini "$install_dir/DASYLab.ini"

echo "== C:\\Program Files\\DASYLab 8.0\\DASYLab.ini before (in $prefix)"
cat "$install_dir/DASYLab.ini"
status=0
WINEPREFIX="$prefix" build/native/kavro-register || status=$?
echo
echo "== kavro-register exited with status $status"
echo "== DASYLab.ini after"
cat "$install_dir/DASYLab.ini"
echo
echo "== what changed"
diff scripts/demo/DASYLab.ini "$install_dir/DASYLab.ini" || true
