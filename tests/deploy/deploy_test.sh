#!/usr/bin/env bash
# The release artifacts and the deployment plays.
#  - The artifacts: the Debian package's fields and hardening, the zip's
#    README.txt (CRLF), and no dead link in the README either one ships.
#  - The probe the Linux play reads DASYLab.ini with (deploy/kavro-probe.py)
#    finds the file the packaged program writes, and says "registered"
#    exactly where the program leaves the file alone, over a table of files.
#  - The Linux play runs for real against this machine (connection: local),
#    in a scratch Wine prefix, one with the file's names in other cases, and
#    one without DASYLab: in check mode on a fresh host (package not
#    installed) and on an installed host without the entry it predicts
#    "changed" and changes nothing; the real run says "changed" and writes;
#    a second run and check mode then say "ok"; the prefix without DASYLab
#    fails with the warning, in check mode too. Nothing is left behind.
#  - No Windows host can be reached here: the Windows play is only checked
#    for its syntax, and its detection script against the README's copy.
# Needs build/packages/ (scripts/package.sh); installs the package, as root.
set -euo pipefail
cd "$(dirname "$0")/../.."

deb=$(ls build/packages/kavro-register_*.deb)
zip=$(ls build/packages/kavro-register-*-windows.zip)
work=$(mktemp -d)
package_dirs="${TMPDIR:-/tmp}/kavro-register-package."
# The package is installed by the play and removed again at the end.
uninstall() { dpkg -r kavro-register >/dev/null 2>&1 || true; rm -f /var/cache/kavro-register.deb; }
uninstall
trap 'uninstall; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  [ "$2" = "$3" ] || fail "$1: got [$2], expected [$3]"
}
expect_in() {  # expect_in WHAT TEXT OUTPUT
  grep -qF -- "$2" <<<"$3" || fail "$1: no [$2] in the output"
}
expect_match() {  # expect_match WHAT ACTUAL PATTERN
  # shellcheck disable=SC2053  # a pattern
  [[ $2 == $3 ]] || fail "$1: got [$2], expected [$3]"
}

# --- The artifacts -----------------------------------------------------------

mkdir "$work/deb" "$work/zip"
dpkg-deb -x "$deb" "$work/deb"
python3 -m zipfile -e "$zip" "$work/zip"
program="$work/deb/usr/bin/kavro-register"

expect_eq "package section" "$(dpkg-deb -f "$deb" Section)" utils
expect_eq "package suggests" "$(dpkg-deb -f "$deb" Suggests)" wine
expect_eq "package synopsis" "$(dpkg-deb -f "$deb" Description | head -1)" \
  "KAVRO DAQ card driver registration for DASYLab 8.0"
# Built with Debian's hardening flags: position independent, full RELRO,
# stack protector, fortified functions.
expect_eq "program type" "$(readelf -h "$program" | awk '/Type:/{print $2}')" DYN
readelf -lW "$program" | grep -q GNU_RELRO || fail "program: no RELRO segment"
readelf -dW "$program" | grep -qE 'BIND_NOW|FLAGS.*\bNOW\b' || fail "program: not linked with -z now"
symbols=$(readelf --dyn-syms -W "$program")
grep -q '__stack_chk_fail' <<<"$symbols" || fail "program: no stack protector"
grep -qE '__[a-z_]+_chk@' <<<"$symbols" || fail "program: no fortified functions"

expect_eq "zip contents" "$(cd "$work/zip" && find . -type f | sort | tr '\n' ' ')" \
  "./LICENSE ./README.txt ./docs/warning-box.png ./kavro-register.exe "
# README.txt is README.md with every line ending in CRLF, for Notepad, and
# plain ASCII, which every code page shows alike.
cmp -s "$work/zip/README.txt" <(sed 's/$/\r/' README.md) ||
  fail "README.txt in the zip is not README.md with CRLF line endings"
! LC_ALL=C grep -q '[^[:print:][:space:]]' "$work/zip/README.txt" || fail "README.txt is not plain ASCII"
cmp -s "$work/deb/usr/share/doc/kavro-register/README.md" README.md ||
  fail "the package's README.md is not README.md"
cmp -s "$work/deb/usr/share/doc/kavro-register/docs/warning-box.png" docs/warning-box.png ||
  fail "the package does not ship the screenshot beside its README"

# Every link and picture of a shipped README leads to a file shipped beside
# it, or to a heading of the README itself.
dead_links() {  # dead_links README
  python3 - "$1" <<'PY'
import os, re, sys
path = sys.argv[1]
text = open(path, encoding="ascii").read().replace("\r\n", "\n")
text = re.sub(r"^```.*?^```", "", text, flags=re.S | re.M)  # code blocks
headings = {re.sub(r"[^a-z0-9 _-]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", text, flags=re.M)}
text = re.sub(r"`[^`\n]*`", "", text)  # code spans
for target in re.findall(r"\]\(([^)\s]+)\)", text):
    if target.startswith("#"):
        ok = target[1:] in headings
    else:
        ok = "://" not in target and os.path.exists(os.path.join(os.path.dirname(path), target))
    if not ok:
        print(target)
PY
}
for readme in "$work/deb/usr/share/doc/kavro-register/README.md" "$work/zip/README.txt"; do
  dead=$(dead_links "$readme")
  [ -z "$dead" ] || fail "${readme#"$work"/}: dead links: $(tr '\n' ' ' <<<"$dead")"
done
# The check that finds them finds one.
printf '[a](#nowhere) [b](docs/none.md) ![c](docs/warning-box.png)\n## Here\n[d](#here)\n' \
  >"$work/deb/usr/share/doc/kavro-register/links-test.md"
expect_eq "dead links in a sample" \
  "$(dead_links "$work/deb/usr/share/doc/kavro-register/links-test.md" | tr '\n' ' ')" "#nowhere docs/none.md "

# --- The probe against the program ------------------------------------------

# probe_case NAME EXPECTED LAYOUT CONTENT: a prefix whose DASYLab.ini is at
# LAYOUT (below the prefix; "dosdevices/c:/..." when drive C: is elsewhere)
# holding CONTENT (printf format); EXPECTED is "registered" or "missing".
# The probe must name that file, give its checksum and say EXPECTED; the
# program must leave it alone (exit 0) exactly when it is registered, and
# otherwise change that very file, after which the probe finds the entry
# (or refuse it, as an odd-length UTF-16 file). A file DECOY (a registered DASYLab.ini
# where the program must not look), when set, must stay as it was.
probe_case() {
  local name=$1 expected=$2 layout=$3 content=$4 prefix="$work/probe/$1"
  local ini="$prefix/$layout" status=0 found checksum said program_said
  mkdir -p "$prefix"
  if [[ $layout == dosdevices/c:/* ]]; then
    mkdir -p "$prefix/dosdevices" "$prefix/elsewhere_c"
    ln -s ../elsewhere_c "$prefix/dosdevices/c:"
  fi
  mkdir -p "$(dirname "$ini")"
  # shellcheck disable=SC2059  # a printf format
  printf "$content" >"$ini"
  if [ -n "${DECOY:-}" ]; then
    mkdir -p "$(dirname "$prefix/$DECOY")"
    printf '[Hardware]\nMKAVRO.DLL=KAVRO DAQ Cards Driver\n' >"$prefix/$DECOY"
  fi
  checksum=$(sha1sum <"$ini" | cut -d' ' -f1)
  found=$(python3 deploy/kavro-probe.py "$prefix" "$(id -un)")
  said=$(python3 -c 'import json, sys; f = json.loads(sys.argv[1])
print(f["path"], f["checksum"], "registered" if f["registered"] else "missing", sep="|")' "$found")
  expect_eq "probe, $name" "$said" "$ini|$checksum|$expected"
  WINEPREFIX="$prefix" "$program" </dev/null 2>/dev/null || status=$?
  program_said=missing
  [ "$status" -eq 0 ] && [ "$(sha1sum <"$ini" | cut -d' ' -f1)" = "$checksum" ] && program_said=registered
  expect_eq "program, $name" "$program_said" "$expected"
  # Once the program has written the entry, the probe finds it there.
  if [ "$expected" = missing ] && [ "$status" -eq 0 ]; then
    expect_in "probe after the program, $name" '"registered": true' \
      "$(python3 deploy/kavro-probe.py "$prefix" "$(id -un)")"
  fi
  if [ -n "${DECOY:-}" ]; then
    expect_eq "program, $name: the decoy" "$(cat "$prefix/$DECOY")" \
      $'[Hardware]\nMKAVRO.DLL=KAVRO DAQ Cards Driver'
  fi
}
std="drive_c/Program Files/DASYLab 8.0/DASYLab.ini"
entry='MKAVRO.DLL=KAVRO DAQ Cards Driver'
probe_case empty missing "$std" ''
probe_case plain registered "$std" "[Hardware]\r\n$entry\r\n"
probe_case other-lines registered "$std" "[Other]\nA=1\n[Hardware]\nMDEMO.DLL=Demo\n$entry\n[Later]\nB=2\n"
probe_case no-section missing "$std" "[Other]\n$entry\n"
probe_case names-in-any-case registered "$std" "  [ hardware ]\n\t mkavro.dll \t= \"KAVRO DAQ Cards Driver\" \t\n"
probe_case single-quotes registered "$std" "[Hardware]\nMKAVRO.DLL='KAVRO DAQ Cards Driver'\n"
probe_case unmatched-quotes missing "$std" "[Hardware]\nMKAVRO.DLL=\"KAVRO DAQ Cards Driver'\n"
probe_case value-in-other-case missing "$std" "[Hardware]\nMKAVRO.DLL=kavro daq cards driver\n"
probe_case other-value missing "$std" "[Hardware]\nMKAVRO.DLL=KAVRO DAQ Cards Driver 2\n"
probe_case first-key-line-counts missing "$std" "[Hardware]\nMKAVRO.DLL=old\n$entry\n"
probe_case key-without-equals missing "$std" "[Hardware]\nMKAVRO.DLL\n$entry\n"
probe_case first-section-counts missing "$std" "[Hardware]\nA=1\n[Hardware]\n$entry\n"
probe_case cr-only registered "$std" "[Other]\rA=1\r[Hardware]\r$entry\r"
probe_case comment-before registered "$std" "[Hardware]\n;MKAVRO.DLL=old\n$entry\n"
probe_case windows-only-header missing "$std" "[Hardware] ; see [notes]\n$entry\n"
probe_case header-without-bracket missing "$std" "[Hardware\n$entry\n"
probe_case wine-only-key missing "$std" "[Hardware]\nMKAVRO.DLL\f=KAVRO DAQ Cards Driver\n"
probe_case wine-only-blank missing "$std" "[Hardware]\n$entry\v\n"
probe_case utf8-mark registered "$std" "\xef\xbb\xbf[Hardware]\r\n$entry\r\n"
probe_case utf16le registered "$std" "\xff\xfe[\0H\0a\0r\0d\0w\0a\0r\0e\0]\0\r\0\n\0$(sed 's/./&\\0/g' <<<"$entry")\r\0\n\0"
probe_case utf16be registered "$std" "\xfe\xff\0[\0H\0a\0r\0d\0w\0a\0r\0e\0]\0\n$(sed 's/./\\0&/g' <<<"$entry")"
probe_case utf16-missing missing "$std" "\xff\xfe[\0H\0a\0r\0d\0w\0a\0r\0e\0]\0\n\0M\0X\0=\0x\0"
probe_case utf16-odd-length missing "$std" "\xff\xfe[\0H\0a\0r\0d\0w\0a\0r\0e\0]\0\r"
probe_case names-in-other-case missing "drive_c/program files/dasylab 8.0/DASYLAB.INI" "[hardware]\nX=1\n"
DECOY="drive_c/Program Files/DASYLab 8.0/dasylab.ini" \
  probe_case exact-name-first missing "$std" "[Hardware]\nX=1\n"
DECOY="$std" probe_case dosdevices-first missing "dosdevices/c:/PROGRAM FILES/DASYLab 8.0/dasylab.ini" ""
mkdir -p "$work/probe/no-dasylab/drive_c/Program Files"
expect_eq "probe, no DASYLab" "$(python3 deploy/kavro-probe.py "$work/probe/no-dasylab" "$(id -un)")" \
  '{"path": null, "usable": true, "directory": false, "registered": false, "checksum": null}'
expect_in "probe, another user's prefix" '"usable": false' \
  "$(python3 deploy/kavro-probe.py "$work/probe/plain" nobody)"

# --- The Linux play ----------------------------------------------------------

lab_ini="$work/lab/drive_c/Program Files/DASYLab 8.0/DASYLab.ini"
variant_ini="$work/variant/drive_c/Program Files/dasylab 8.0/DASYLAB.INI"
mkdir -p "$(dirname "$lab_ini")" "$(dirname "$variant_ini")" "$work/bare/drive_c"
reset_files() {
  printf '[Hardware]\r\nMDEMO.DLL=Demo Board\r\n' >"$lab_ini"
  printf '[hardware]\nMDEMO.DLL=Demo Board\n' >"$variant_ini"
}
lab_registered=$'[Hardware]\r\nMDEMO.DLL=Demo Board\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r'
variant_registered=$'[hardware]\nMDEMO.DLL=Demo Board\nMKAVRO.DLL=KAVRO DAQ Cards Driver'
cat >"$work/inventory.yml" <<YAML
dasylab_linux:
  vars:
    ansible_connection: local
    ansible_python_interpreter: /usr/bin/python3
  hosts:
    lab:
      kavro_wine_prefixes: [{user: $(id -un), prefix: "$work/lab"}]
    variant:
      kavro_wine_prefixes: [{user: $(id -un), prefix: "$work/variant"}]
    bare:
      kavro_wine_prefixes: [{user: $(id -un), prefix: "$work/bare"}]
YAML
# play WHAT HOSTS [OPTIONS...]: the output in $output. The hosts are all
# this machine: one at a time, so that their package installs take turns.
play() {
  what=$1
  ANSIBLE_NOCOLOR=1 ansible-playbook -i "$work/inventory.yml" deploy/linux.yml --forks 1 \
    -e "kavro_deb=$PWD/$deb" --limit "$2" "${@:3}" >"$work/output" 2>&1 || true
  output=$(cat "$work/output")
  # Nothing is left behind, whatever happened.
  [ ! -e /var/cache/kavro-register.deb ] || fail "$what: /var/cache/kavro-register.deb is left"
  ! compgen -G "$package_dirs*" >/dev/null || fail "$what: left $(echo "$package_dirs"*)"
}
# task_says TASK HOST: what the task said for the host (changed, ok, ...)
task_says() {
  sed -n "/^TASK \[$1\]/,/^\$/p" <<<"$output" | grep -oE "^[a-z]+: \[$2\]" |
    cut -d: -f1 | sort -u | tr '\n' ' '
}
# recap HOST: the host's line of the play recap, as "changed=N failed=N".
recap() {
  grep -E "^$1 +:" <<<"$output" | grep -oE '(changed|failed)=[0-9]+' | tr '\n' ' '
}
expect_package() {  # expect_package WHAT installed|absent
  local state=absent
  dpkg-query -W -f='${Status}' kavro-register 2>/dev/null | grep -q 'install ok installed' && state=installed
  expect_eq "$1: the package" "$state" "$2"
}
expect_files() {  # expect_files WHAT LAB VARIANT
  expect_eq "$1: lab's DASYLab.ini" "$(cat "$lab_ini")" "$2"
  expect_eq "$1: variant's DASYLAB.INI" "$(cat "$variant_ini")" "$3"
  expect_eq "$1: variant's install directory" "$(ls -A "$(dirname "$variant_ini")")" DASYLAB.INI
  expect_eq "$1: bare's drive C:" "$(ls -A "$work/bare/drive_c")" ""
}
changed_task="Check whether DASYLab.ini changed"
reset_files
lab_before=$(cat "$lab_ini")
variant_before=$(cat "$variant_ini")

what="check mode, fresh host"
play "$what" lab,variant,bare --check
for host in lab variant; do
  expect_eq "$what: $host" "$(recap $host)" "changed=2 failed=0 "
  expect_eq "$what: $host's package" "$(task_says "Install the package" $host)" "changed "
  expect_eq "$what: $host's file" "$(task_says "$changed_task" $host)" "changed "
done
expect_eq "$what: bare" "$(recap bare)" "changed=0 failed=1 "
expect_in "$what: bare" "kavro-register would fail for $work/bare: the install directory is missing" "$output"
expect_package "$what" absent
expect_files "$what" "$lab_before" "$variant_before"

what="first run"
play "$what" lab,variant,bare
for host in lab variant; do
  expect_match "$what: $host" "$(recap $host)" "changed=* failed=0 "
  expect_eq "$what: $host's file" "$(task_says "$changed_task" $host)" "changed "
done
expect_eq "$what: lab's package" "$(task_says "Install the package" lab)" "changed "
expect_match "$what: bare" "$(recap bare)" "* failed=1 "
expect_in "$what: bare" 'Driver cannt find C:\\Programs Files\\DASYLab 8.0\\' "$output"
expect_in "$what: bare" "kavro-register: $work/bare/drive_c/Program Files/DASYLab 8.0: no such directory" "$output"
expect_package "$what" installed
expect_files "$what" "$lab_registered" "$variant_registered"
[ -x /usr/bin/kavro-register ] || fail "the package did not install /usr/bin/kavro-register"

what="second run"
play "$what" lab,variant
for host in lab variant; do
  expect_eq "$what: $host" "$(recap $host)" "changed=0 failed=0 "
  expect_eq "$what: $host's file" "$(task_says "$changed_task" $host)" "ok "
done
expect_files "$what" "$lab_registered" "$variant_registered"

what="check mode, registered"
play "$what" lab,variant --check
for host in lab variant; do
  expect_eq "$what: $host" "$(recap $host)" "changed=0 failed=0 "
done

what="check mode, installed host without the entry"
reset_files
play "$what" lab,variant --check
for host in lab variant; do
  expect_eq "$what: $host" "$(recap $host)" "changed=1 failed=0 "
  expect_eq "$what: $host's package" "$(task_says "Install the package" $host)" "ok "
  expect_eq "$what: $host's file" "$(task_says "$changed_task" $host)" "changed "
done
expect_files "$what" "$lab_before" "$variant_before"

what="run on an installed host without the entry"
play "$what" lab,variant
for host in lab variant; do
  expect_eq "$what: $host" "$(recap $host)" "changed=1 failed=0 "
  expect_eq "$what: $host's file" "$(task_says "$changed_task" $host)" "changed "
done
expect_files "$what" "$lab_registered" "$variant_registered"

# --- The Windows play --------------------------------------------------------

if ! output=$(ANSIBLE_NOCOLOR=1 ansible-playbook -i localhost, --syntax-check deploy/windows.yml 2>&1); then
  fail "the Windows play does not pass the syntax check: $output"
fi
# The README's Intune detection script is the one the play runs.
readme_script=$(sed -n '/^```powershell$/,/^```$/p' README.md | sed '1d;$d')
expect_eq "the README's detection script" "$readme_script" "$(cat deploy/kavro-detect.ps1)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "release artifacts and deployment plays: all checks passed"
