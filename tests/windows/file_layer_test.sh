#!/usr/bin/env bash
# The Windows file layer under Wine, run many times over through the 64-bit
# probe built from the same sources: what is refused and left untouched,
# what the new file keeps of the old one, the retry on a file held open,
# leftovers of killed runs, kills in the middle of a write, a full disk and
# copies running at once.
set -euo pipefail
: "${KAVRO_PROBE:?}" "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"

work="$drive_c/file-layer"
rm -rf "$work"
mkdir -p "$work"
probe() { "$wine_tools" "$KAVRO_PROBE" "$@"; }
write() {  # write NAME: the probe's exit status
  local status=0
  timeout 60 "$wine_tools" "$KAVRO_PROBE" write "C:\\file-layer\\$1" || status=$?
  echo "$status"
}
describe() { probe describe "C:\\file-layer\\$1"; }
leftovers() { find "$work" -name '*.kavro-tmp' | wc -l; }
registered='[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'

# Refused with nothing touched: the read-only attribute (as root too), a
# directory and a FIFO in the file's place.
printf '[Hardware]\r\nMKAVRO.DLL=Old\r\n' >"$work/read-only.ini"
chmod 0444 "$work/read-only.ini"
expect_eq "read-only: refused" "$(write read-only.ini)" 1
expect_file "read-only: unchanged" "$work/read-only.ini" '[Hardware]\r\nMKAVRO.DLL=Old\r\n'
mkdir "$work/directory.ini"
expect_eq "directory: refused" "$(write directory.ini)" 1
mkfifo "$work/fifo.ini"
expect_eq "FIFO: refused without waiting" "$(write fifo.ini)" 1
expect_eq "refusals: nothing left behind" "$(leftovers)" 0

# A file that already holds the entry is not written at all.
printf "$registered" >"$work/set.ini"
chmod 0444 "$work/set.ini"
before=$(stat -c '%i %Y %Z' "$work/set.ini")
expect_eq "already set: accepted" "$(write set.ini)" 0
expect_eq "already set: not written" "$(stat -c '%i %Y %Z' "$work/set.ini")" "$before"

# Hidden and system attributes and the DACL, read back through the system,
# are those of the original; the archive bit is set, as by any write.
printf '[Hardware]\r\nMKAVRO.DLL=Old\r\n' >"$work/hidden.ini"
chmod 0600 "$work/hidden.ini"
"$wine_tools" cmd /c attrib +h 'C:\file-layer\hidden.ini' >/dev/null
"$wine_tools" cmd /c attrib +s 'C:\file-layer\hidden.ini' >/dev/null
before=$(describe hidden.ini)
[[ $before == attributes=0026* ]] || fail "hidden, system: not set up ($before)"
expect_eq "hidden, system: written" "$(write hidden.ini)" 0
expect_file "hidden, system: content" "$work/hidden.ini" "$registered"
expect_eq "hidden, system, DACL: kept" "$(describe hidden.ini | sed 's/ created=[0-9a-f]*//')" \
  "$(sed 's/ created=[0-9a-f]*//' <<<"$before")"

# Held open without sharing by another program: waited for about a second,
# then refused, untouched. A hold of a moment is waited out.
printf '[Hardware]\r\n' >"$work/held.ini"
coproc holder { exec "$wine_tools" "$KAVRO_PROBE" hold 'C:\file-layer\held.ini' 0; }
read -r held holder_pid <&"${holder[0]}"
holder_pid=${holder_pid%$'\r'}  # a Windows program's text-mode line ending
expect_eq "held: holder started" "$held" held
started=$SECONDS
expect_eq "held: refused" "$(write held.ini)" 1
expect_eq "held: gave up within a few seconds" "$((SECONDS - started <= 5))" 1
expect_file "held: unchanged" "$work/held.ini" '[Hardware]\r\n'

# Leftovers of killed runs: those whose process is gone, or whose process
# id now names a process started after they were written, are removed; the
# temporary file of a run still going is kept.
printf '[Hardware]\r\n' >"$work/left.ini"
touch "$work/.left.ini.999999.1.kavro-tmp" "$work/.left.ini.$holder_pid.2.kavro-tmp"
touch -d '1 hour ago' "$work/.left.ini.$holder_pid.3.kavro-tmp"
expect_eq "leftovers: written" "$(write left.ini)" 0
expect_eq "leftovers: only the live run's kept" "$(ls -A "$work" | grep left)" \
  ".left.ini.$holder_pid.2.kavro-tmp
left.ini"
kill "$holder_PID"
wait "$holder_PID" 2>/dev/null || true
rm -f "$work/.left.ini."*

probe hold 'C:\file-layer\held.ini' 300 >/dev/null &
sleep 0.1
expect_eq "held for a moment: written" "$(write held.ini)" 0
wait
expect_file "held for a moment: content" "$work/held.ini" "$registered"

# Killed at random moments while rewriting a large file: the file is always
# exactly the old one or the new one, and a later run cleans up and succeeds.
python3 - "$work/large.ini" <<'EOF'
import sys
with open(sys.argv[1], "wb") as out:
    out.write(b"[Hardware]\r\nMDEMO.DLL=Demo\r\n")
    for i in range(300000):
        out.write(b"[Section%d]\r\nkey=value %d\r\n" % (i, i))
EOF
cp "$work/large.ini" "$KAVRO_RUN_DIR/large.old"
# The kills fall at random moments of a run as long as this one took, so
# that some land in the middle of the write however fast this machine is.
started=$(date +%s%N)
write large.ini >/dev/null
run_ms=$((($(date +%s%N) - started) / 1000000 + 1))
cp "$work/large.ini" "$KAVRO_RUN_DIR/large.new"
torn=0 interrupted=0 kills=40
for i in $(seq "$kills"); do
  cp "$KAVRO_RUN_DIR/large.old" "$work/large.ini"
  setsid "$wine_tools" "$KAVRO_PROBE" write 'C:\file-layer\large.ini' &
  moment=$((RANDOM % run_ms))
  sleep "$((moment / 1000)).$(printf '%03d' $((moment % 1000)))"
  kill -KILL -- "-$!" 2>/dev/null || true
  wait "$!" 2>/dev/null || true
  if [ "$(leftovers)" -gt 0 ]; then interrupted=$((interrupted + 1)); fi
  cmp -s "$work/large.ini" "$KAVRO_RUN_DIR/large.old" ||
    cmp -s "$work/large.ini" "$KAVRO_RUN_DIR/large.new" || torn=$((torn + 1))
done
echo "killed $kills runs: $interrupted in the middle of a write"
expect_eq "killed: torn files" "$torn" 0
[ "$interrupted" -gt 0 ] || fail "killed: no kill landed in the middle of a write"
expect_eq "killed: a later run succeeds" "$(write large.ini)" 0
expect_eq "killed: later run's result" "$(cmp -s "$work/large.ini" "$KAVRO_RUN_DIR/large.new" &&
  echo new)" new
expect_eq "killed: nothing left behind" "$(leftovers)" 0

# Copies running at once, on an existing file and on a missing one: all
# succeed, and the file is what one run makes of it.
printf '[A]\r\nx=1\r\n[Hardware]\r\nB=2\r\n[C]\r\ny=3\r\n' >"$work/together.ini"
pids=()
for _ in $(seq 12); do
  probe write 'C:\file-layer\together.ini' &
  pids+=($!)
  probe write 'C:\file-layer\together-new.ini' &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
expect_eq "together: failed runs" "$failed" 0
expect_file "together: existing file" "$work/together.ini" \
  '[A]\r\nx=1\r\n[Hardware]\r\nB=2\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n[C]\r\ny=3\r\n'
expect_file "together: new file" "$work/together-new.ini" "$registered"
expect_eq "together: nothing left behind" "$(leftovers)" 0

# A full disk: refused, the original byte for byte, no stray file.
if [ "$(id -u)" -eq 0 ] && mkdir -p "$work/full" && mount -t tmpfs -o size=64k tmpfs "$work/full"; then
  trap 'umount "$work/full" 2>/dev/null || true' EXIT
  python3 -c 'import sys; open(sys.argv[1], "wb").write(b"[Hardware]\r\n" + b"k=v\r\n" * 5600)' \
    "$work/full/full.ini"
  cp "$work/full/full.ini" "$KAVRO_RUN_DIR/full.old"
  dd if=/dev/zero of="$work/full/filler" bs=1k 2>/dev/null || true
  expect_eq "disk full: refused" "$(write 'full\full.ini')" 1
  cmp -s "$work/full/full.ini" "$KAVRO_RUN_DIR/full.old" || fail "disk full: the file changed"
  expect_eq "disk full: no stray file" "$(ls -A "$work/full")" "filler
full.ini"
  umount "$work/full"
else
  echo "SKIPPED: disk full (mounting a tmpfs is not permitted here)"
fi

finish
