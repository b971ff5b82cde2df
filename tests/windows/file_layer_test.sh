#!/usr/bin/env bash
# The Windows file layer under Wine, run many times over through the 64-bit
# probe built from the same sources: what is refused and left untouched,
# what the new file keeps of the old one, the retry on a file held open,
# leftovers of killed runs, a write stopped at each of its steps and what a
# power cut could leave there, a full disk and copies running at once.
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
leftovers() { find "$work" -name '.*.kavro-*' -printf '%f\n' | sort; }
registered='[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r\n'

# The same failure reads the same as in the native program's tests: the
# shared table, from Windows' error codes.
expect_eq "causes as on Linux" "$(probe causes | tr -d '\r')" \
  "0 of $(grep -c '^    {"' "$(dirname "$0")/../same_failure_cases.h") differ"

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
expect_eq "refusals: nothing left behind" "$(leftovers)" ""

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
hold_open 'C:\file-layer\held.ini'
expect_eq "held: refused" "$(write held.ini)" 1
expect_file "held: unchanged" "$work/held.ini" '[Hardware]\r\n'
let_go

# Held open by a program that shares reading and writing, as one that keeps
# its settings file open does: written, as Windows' own writer writes it.
printf '[Hardware]\r\n' >"$work/shared.ini"
hold_open 'C:\file-layer\shared.ini' shared
expect_eq "held, shared: written" "$(write shared.ini)" 0
expect_file "held, shared: content" "$work/shared.ini" "$registered"
let_go

# What the native program keeps, the Windows one under Wine keeps too: it
# writes in place there, the same file under the same names.
keeps() {  # keeps WHAT SETUP DESCRIBE: DESCRIBE's output unchanged by a write
  rm -f "$work/keeps.ini" "$work/keeps-target.ini" "$work/keeps-other.ini"
  printf '[Hardware]\r\nMKAVRO.DLL=Old\r\n' >"$work/keeps.ini"
  local before
  (cd "$work" && eval "$2")
  before=$(cd "$work" && eval "$3")
  expect_eq "keeps $1: written" "$(write keeps.ini)" 0
  expect_eq "keeps $1: kept" "$(cd "$work" && eval "$3")" "$before"
  expect_eq "keeps $1: registered" \
    "$(grep -c 'MKAVRO.DLL=KAVRO DAQ Cards Driver' "$work/keeps.ini")" 1
}
for mode in 0600 0640 0660 0664 0755 0604 4644 1644; do
  keeps "mode $mode" "chmod $mode keeps.ini" "stat -c '%a %i' keeps.ini"
done
for mask in 002 077; do
  # In a subshell, which reports its own failures by its status.
  (earlier=$failures && umask "$mask" && keeps "mode 0644 under umask $mask" \
    "chmod 0644 keeps.ini" "stat -c '%a %i' keeps.ini" && exit $((failures - earlier))) ||
    fail "keeps mode under umask $mask"
done
keeps "owner and group" "chown 4321:8765 keeps.ini" "stat -c '%u %g' keeps.ini"
if setfattr -n user.kavro -v kept "$work/keeps.ini" 2>/dev/null; then
  keeps "extended attributes" "setfattr -n user.kavro -v kept keeps.ini &&
    setfattr -n user.DOSATTRIB -v '\"0x22 with more fields\"' keeps.ini" \
    "getfattr -d keeps.ini 2>/dev/null"
  keeps "access control list" "setfacl -m u:4242:r keeps.ini" "getfacl -c keeps.ini 2>/dev/null"
else
  echo "SKIPPED: extended attributes (this file system keeps none)"
fi
keeps "hard link" "ln keeps.ini keeps-other.ini" \
  "stat -c '%i %h' keeps.ini; cmp keeps.ini keeps-other.ini && echo same"
keeps "symbolic link" "mv keeps.ini keeps-target.ini && ln -s keeps-target.ini keeps.ini" \
  "readlink keeps.ini; stat -c '%i' keeps-target.ini"
rm -f "$work/keeps.ini" "$work/keeps-target.ini" "$work/keeps-other.ini"

# Refused with nothing touched: a dangling link (a share not mounted), and a
# file this account may not write though the directory would let a new file
# take its place (immutable: not even root may write it).
ln -s 'unmounted/DASYLab.ini' "$work/dangling.ini"
expect_eq "dangling link: refused" "$(write dangling.ini)" 1
expect_eq "dangling link: still a dangling link" "$(readlink "$work/dangling.ini")" \
  'unmounted/DASYLab.ini'
printf '[Hardware]\r\n' >"$work/immutable.ini"
if chattr +i "$work/immutable.ini" 2>/dev/null; then
  expect_eq "may not write: refused" "$(write immutable.ini)" 1
  chattr -i "$work/immutable.ini"
  expect_file "may not write: unchanged" "$work/immutable.ini" '[Hardware]\r\n'
else
  echo "SKIPPED: a file nobody may write (this file system has no immutable flag)"
fi
expect_eq "refusals: nothing left behind" "$(ls -A "$work" | grep -c kavro)" 0

# What cut-short runs leave, under the lock: a record this program was
# writing goes whatever process id its name holds (a container's first
# process is always 1), a record's head as this version writes it or as the
# released one did, and so does what a power cut leaves of one before its
# head reached the disk (an empty file); another user's is left alone, and
# so is anything else under such a name, a link to a file elsewhere above
# all, since under Wine removing a link's name removes its target. A link in
# the lock file's place refuses the write and removes nothing.
printf '[Hardware]\r\n' >"$work/left.ini"
# The start of a head: its mark and its size (92 bytes for one splice; the
# released program's 64).
record_head() { printf 'KVRORED2\134\0\0\0\0\0\0\0' >"$work/$1"; }
released_head() { printf 'KVROREDO\100\0\0\0\0\0\0\0' >"$work/$1"; }
released_head .left.ini.999999.1.kavro-tmp
record_head .left.ini.1.2.kavro-tmp
: >"$work/.left.ini.3.kavro-tmp"
record_head .left.ini.4.kavro-tmp
chown 4321 "$work/.left.ini.4.kavro-tmp"
printf 'precious\n' >"$KAVRO_RUN_DIR/precious.txt"
ln -s "$KAVRO_RUN_DIR/precious.txt" "$work/.left.ini.5.kavro-tmp"
expect_eq "leftovers: written" "$(write left.ini)" 0
expect_eq "leftovers: another user's and a link kept" "$(ls -A "$work" | grep left)" \
  ".left.ini.4.kavro-tmp
.left.ini.5.kavro-tmp
left.ini"
rm -f "$work/.left.ini."*
ln -s "$KAVRO_RUN_DIR/precious.txt" "$work/.left.ini.kavro-lock"
expect_eq "a link as the lock file: refused" "$(write left.ini)" 1
expect_file "a link as the lock file: its target untouched" "$KAVRO_RUN_DIR/precious.txt" \
  'precious\n'
rm -f "$work/.left.ini."*

# The write starts once the file is held, not after a guessed while.
rm -f "$KAVRO_RUN_DIR/moment-holder"
probe hold 'C:\file-layer\held.ini' 300 >"$KAVRO_RUN_DIR/moment-holder" &
moment_holder=$!
until grep -qs held "$KAVRO_RUN_DIR/moment-holder" || ! kill -0 "$moment_holder" 2>/dev/null; do
  sleep 0.1
done
expect_eq "held for a moment: written" "$(write held.ini)" 0
wait
expect_file "held for a moment: content" "$work/held.ini" "$registered"

# Stopped at every step that changes the disk, by construction: the probe
# counts those calls and ends itself on entry to the Nth, as a kill would,
# for every N of a clean run and one past it. Each state must be the old
# file or one cut short with the record beside it; the next run must leave
# exactly the new content under every name, with nothing beside it but an
# empty lock file that the stopped run made (only its maker removes one
# under Wine). Where the record is on the disk, states a power cut could
# leave are built too: some 512-byte sectors of the new content in the old
# file, the file's old size or its new one, and the record's rename taken
# back; the next run must finish each.
crash_points_failed=0
python3 - "$wine_tools" "$KAVRO_PROBE" "$work/crash" 'C:\file-layer\crash' \
  "$(dirname "$0")/wine_env.sh" <<'EOF' ||
import os, re, subprocess, sys

wine, probe, folder, windows_folder, wine_env = sys.argv[1:]
SECTOR = 512
ENTRY = b"MKAVRO.DLL=KAVRO DAQ Cards Driver\r\n"
LOCK = ".dasylab.ini.kavro-lock"
OURS = re.compile(r"\.dasylab\.ini\.[0-9]+\.kavro-(tmp|redo)$")


def configuration(head, size=1000000):
    text, section = head, 0
    while len(text) < size:
        text += b"[Module %d]\r\nGain=%d\r\nOffset=0.25\r\n" % (section, section)
        section += 1
    return text


near_top = b"[Settings]\r\nLanguage=English\r\n[Hardware]\r\nMDEMO.DLL=Demo\r\n"
long_value = b"[Hardware]\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver, an older and much longer name\r\n"
# (what, old content or None for a missing file, another name for the file,
# the entry's lines in the new file: where the readers disagree on the
# header, one under it and one in a [Hardware] appended, so both find it)
rows = [
    ("in place, growing", configuration(near_top), None, 1),
    ("in place, shrinking", configuration(long_value), None, 1),
    ("in place, a section appended", configuration(b""), None, 1),
    ("in place, readers that disagree", configuration(b"[Hardware] ; see [notes]\r\n"), None, 2),
    ("a missing file created", None, None, 1),
    ("in place, a hard-linked file", configuration(near_top), "linked.ini", 1),
]
path = os.path.join(folder, "DASYLab.ini")


said_last = {}  # what the last run said on standard error, for a failure's message


def run(*options):
    done = subprocess.run([wine, probe, "write", windows_folder + "\\DASYLab.ini", *options],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    said_last["error"] = done.stderr.decode(errors="replace").strip()
    if "--stop-at" in options:
        subprocess.run(["bash", "-c", 'source "$0" && wait_until_server_lets_go "$1"',
                        wine_env, folder], check=True)
    return done.returncode, done.stdout.decode(errors="replace")


def fresh(old, other):
    subprocess.run(["rm", "-rf", folder], check=True)
    os.mkdir(folder)
    if old is not None:
        with open(path, "wb") as out:
            out.write(old)
        if other:
            os.link(path, os.path.join(folder, other))


def content(name="DASYLab.ini"):
    try:
        with open(os.path.join(folder, name), "rb") as file:
            return file.read()
    except FileNotFoundError:
        return None


def beside(other):
    return sorted(set(os.listdir(folder)) - {"DASYLab.ini", other})


def same_file_under_both(other):
    return other is None or (os.stat(path).st_ino == os.stat(os.path.join(folder, other)).st_ino
                             and os.stat(path).st_nlink == 2)


def killed_state_wrong(old, new, other):
    """Why the disk after a stopped run is neither the old file nor one cut
    short with its record beside it; nothing where it is."""
    names = beside(other)
    strays = [n for n in names if n != LOCK and not OURS.match(n)]
    if strays:
        return "left beside it: %s" % strays
    if LOCK in names and os.path.getsize(os.path.join(folder, LOCK)) != 0:
        return "the lock file is not empty"
    now = content()
    # A missing file's name is claimed with an empty file first.
    olds = (None, b"") if old is None else (old,)
    if now not in olds and now != new and not any(n.endswith(".kavro-redo") for n in names):
        return "DASYLab.ini is neither old nor new, with no record beside it"
    if now is not None and not same_file_under_both(other):
        return "DASYLab.ini and %s are no longer one file" % other
    return None


def recovered_wrong(new, other, lock_before):
    status, _ = run()
    if status != 0:
        return "the next run exited %d, saying %r" % (status, said_last["error"])
    for name in ["DASYLab.ini"] + ([other] if other else []):
        if content(name) != new:
            return "%s is not the new content" % name
    if not same_file_under_both(other):
        return "DASYLab.ini and %s are no longer one file" % other
    names = beside(other)
    if names and not (names == [LOCK] and lock_before):
        return "left beside it: %s" % names
    if names and os.path.getsize(os.path.join(folder, LOCK)) != 0:
        return "the lock file is not empty"
    return None


def power_cut(old, new, sectors, size, taken_back):
    """Puts on the disk what a power cut may leave of the write: `sectors`
    (a set of sector numbers) hold the new content, the others the old (or
    zeros where the file grew), the file `size` bytes long; the record's
    rename taken back where `taken_back`. The file keeps its identity."""
    data = bytearray(old[:size].ljust(size, b"\0"))
    for sector in sectors:
        begin, end = sector * SECTOR, min(sector * SECTOR + SECTOR, size, len(new))
        if begin < end:
            data[begin:end] = new[begin:end]
    with open(path, "r+b") as file:
        file.write(data)
        file.truncate(size)
    if taken_back:
        for name in os.listdir(folder):
            if name.endswith(".kavro-redo"):
                os.rename(os.path.join(folder, name),
                          os.path.join(folder, name[: -len(".kavro-redo")] + ".kavro-tmp"))


def cut_states(old, new):
    """A few deterministic power-cut states: which sectors are new, the
    size, whether the record's rename was taken back."""
    old = old or b""
    first = next((i for i, (a, b) in enumerate(zip(old, new)) if a != b), min(len(old), len(new)))
    span = range(first // SECTOR, (max(len(old), len(new)) + SECTOR - 1) // SECTOR)
    patterns = [set(span[:1]), set(span[::2]), set(span[:-1])]
    for sectors in patterns:
        for size in sorted({len(old), len(new)}):
            for taken_back in (False, True):
                yield sectors, size, taken_back


bad = 0
for what, old, other, entries in rows:
    fresh(old, other)
    status, said = run("--steps")
    new = content()
    if status != 0 or not said.strip().isdigit() or new is None or new.count(ENTRY) != entries:
        print("FAIL: %s: a clean run exited %d, said %r, left %d entries" % (
            what, status, said, (new or b"").count(ENTRY)))
        bad += 1
        continue
    steps = int(said)
    # Run again on the new file: nothing is written but the lock file.
    status, said = run("--steps")
    if status != 0 or said.strip() != "2" or content() != new:
        print("FAIL: %s: a run on the new file exited %d after %s steps" % (what, status, said))
        bad += 1
    states = not_recovered = 0
    for stop_at in range(1, steps + 2):
        fresh(old, other)
        status, _ = run("--stop-at", str(stop_at))
        if status != (137 if stop_at <= steps else 0):
            print("FAIL: %s: stopped at step %d of %d, it exited %d" % (what, stop_at, steps, status))
            bad += 1
        wrong = killed_state_wrong(old, new, other)
        if wrong:
            print("FAIL: %s: stopped at step %d of %d: %s" % (what, stop_at, steps, wrong))
            bad += 1
        record_there = any(n.endswith(".kavro-redo") for n in os.listdir(folder))
        cuts = list(cut_states(old, new)) if record_there else []
        for cut in [None] + cuts:
            if cut is not None:
                fresh(old, other)
                status, _ = run("--stop-at", str(stop_at))
                power_cut(old or b"", new, *cut)
            states += 1
            lock_before = os.path.exists(os.path.join(folder, LOCK))
            wrong = recovered_wrong(new, other, lock_before)
            if wrong:
                not_recovered += 1
                how = "" if cut is None else " (new sectors %s, %d bytes%s)" % (
                    sorted(cut[0])[:4], cut[1], ", rename taken back" if cut[2] else "")
                print("FAIL: %s: stopped at step %d of %d%s: %s" % (what, stop_at, steps, how, wrong))
    print("Windows under Wine, %s: %d points, %d states, %d not recovered"
          % (what, steps + 1, states, not_recovered))
    bad += not_recovered
sys.exit(1 if bad else 0)
EOF
  crash_points_failed=1
expect_eq "crash points: any wrong state or run" "$crash_points_failed" 0
rm -rf "$work/crash"

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
expect_eq "together: nothing left behind" "$(leftovers)" ""

# The Windows program and the native one started together take turns on one
# file, replaced (native) and written in place (both), with none of them
# refused: every run exits 0 and the file is what one run makes of it.
if [ -n "${KAVRO_NATIVE_PROGRAM:-}" ] && [ -x "${KAVRO_NATIVE_PROGRAM:-}" ]; then
  reset_install_dir
  python3 - "$KAVRO_RUN_DIR/mixed.old" <<'EOF'
import sys
with open(sys.argv[1], "wb") as out:
    for i in range(20000):
        out.write(b"[Section%d]\r\nkey=value %d\r\n" % (i, i))
        if i == 10000:
            out.write(b"[Hardware]\r\nMDEMO.DLL=Demo\r\n")
EOF
  cp "$KAVRO_RUN_DIR/mixed.old" "$ini"
  said="$KAVRO_RUN_DIR/mixed.said"  # what failed runs said, for the failure's message
  : >"$said"
  write_native() { "$KAVRO_NATIVE_PROGRAM" >/dev/null 2>>"$said"; }
  write_native
  cp "$ini" "$KAVRO_RUN_DIR/mixed.new"
  failed=0 wrong=0
  for round in $(seq 12); do
    cp "$KAVRO_RUN_DIR/mixed.old" "$ini"
    rm -f "$install_dir/linked.ini"
    if [ $((round % 2)) -eq 0 ]; then ln "$ini" "$install_dir/linked.ini"; fi
    pids=()
    for _ in 1 2 3; do
      probe write 'C:\Program Files\DASYLab 8.0\DASYLab.ini' 2>>"$said" &
      pids+=($!)
      write_native &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || failed=$((failed + 1)); done
    cmp -s "$ini" "$KAVRO_RUN_DIR/mixed.new" || wrong=$((wrong + 1))
    if ls -A "$install_dir" | grep -q kavro; then wrong=$((wrong + 1)); fi
  done
  expect_eq "mixed: runs that failed" "$failed" 0
  [ "$failed" -eq 0 ] || sed 's/^/  a failed run said: /' "$said" >&2
  expect_eq "mixed: rounds with another file or something left beside it" "$wrong" 0
  rm -f "$install_dir/linked.ini"
else
  echo "SKIPPED: the Windows and native programs together (no native program named)"
fi

# An 800 MiB file, through the 32-bit program: written with memory flat in
# the file's size (the whole file would not even fit its address space).
if [ "$(df --output=avail -B1M "$work" | tail -1)" -gt 2500 ]; then
  reset_install_dir
  # yes ends on a broken pipe once head has enough.
  { printf '[Hardware]\r\nMDEMO.DLL=Demo\r\n'; yes $'[Channel]\r\nGain=1\r' | head -c 800M || true; } >"$ini"
  peak_kib=$(python3 - "$KAVRO_EXE" <<'EOF'
import resource, subprocess, sys
subprocess.run(["wine", sys.argv[1]], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
EOF
  ) || fail "800 MiB: the program failed"
  echo "800 MiB file written with a peak of $((peak_kib / 1024)) MiB"
  expect_eq "800 MiB: registered" "$(head -c 200 "$ini" | grep -c 'MKAVRO.DLL=KAVRO DAQ Cards Driver')" 1
  expect_eq "800 MiB: peak memory under 64 MiB ($((peak_kib / 1024)) MiB)" \
    "$((peak_kib < 64 * 1024))" 1
  reset_install_dir
else
  echo "SKIPPED: an 800 MiB file (not enough free disk)"
fi

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
