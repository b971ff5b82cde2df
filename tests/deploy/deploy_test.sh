#!/usr/bin/env bash
# The deployment plays. The Linux play runs for real against this machine
# (connection: local): it installs the built Debian package and registers the
# driver in a scratch Wine prefix; a second run changes nothing; a host whose
# prefix has no DASYLab fails with the warning in the output. No Windows host
# can be reached here: the Windows play is only checked for its syntax.
# Needs build/packages/ (scripts/package.sh); installs the package, as root.
set -euo pipefail
cd "$(dirname "$0")/../.."

deb=$(ls build/packages/kavro-register_*.deb)
work=$(mktemp -d)
# The package is installed by the play and removed again at the end.
uninstall() { dpkg -r kavro-register >/dev/null 2>&1 || true; rm -f /var/cache/kavro-register.deb; }
uninstall
trap 'uninstall; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_in() {  # expect_in WHAT TEXT OUTPUT
  grep -qF -- "$2" <<<"$3" || fail "$1: no [$2] in the output"
}

ini="$work/lab/drive_c/Program Files/DASYLab 8.0/DASYLab.ini"
mkdir -p "$(dirname "$ini")" "$work/bare/drive_c"
printf '[Hardware]\r\nMDEMO.DLL=Demo Board\r\n' >"$ini"
cat >"$work/inventory.yml" <<YAML
dasylab_linux:
  vars:
    ansible_connection: local
    ansible_python_interpreter: /usr/bin/python3
  hosts:
    lab:
      kavro_wine_prefixes: [{user: $(id -un), prefix: "$work/lab"}]
    bare:
      kavro_wine_prefixes: [{user: $(id -un), prefix: "$work/bare"}]
YAML
play() {  # play HOST: the play's output in $output, its exit status in $status
  status=0
  ANSIBLE_NOCOLOR=1 ansible-playbook -i "$work/inventory.yml" deploy/linux.yml \
    -e "kavro_deb=$PWD/$deb" --limit "$1" >"$work/output" 2>&1 || status=$?
  output=$(cat "$work/output")
}

play lab
[ "$status" -eq 0 ] || fail "first run: exit status $status"
expect_in "first run: the file changed" "changed: [lab]" \
  "$(sed -n '/TASK \[Check whether DASYLab.ini changed\]/,/^$/p' <<<"$output")"
[ "$(cat "$ini")" = $'[Hardware]\r\nMDEMO.DLL=Demo Board\r\nMKAVRO.DLL=KAVRO DAQ Cards Driver\r' ] ||
  fail "first run: DASYLab.ini holds $(od -c "$ini")"
[ -x /usr/bin/kavro-register ] || fail "the package did not install /usr/bin/kavro-register"

play lab
[ "$status" -eq 0 ] || fail "second run: exit status $status"
expect_in "second run" "changed=0" "$output"

play bare
[ "$status" -ne 0 ] || fail "host without DASYLab: the play succeeded"
expect_in "host without DASYLab" "failed=1" "$output"
expect_in "host without DASYLab" 'Driver cannt find C:\\Programs Files\\DASYLab 8.0\\' "$output"
[ -z "$(ls -A "$work/bare/drive_c")" ] || fail "host without DASYLab: something was created"

if ! output=$(ANSIBLE_NOCOLOR=1 ansible-playbook -i localhost, --syntax-check deploy/windows.yml 2>&1); then
  fail "the Windows play does not pass the syntax check: $output"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "deployment plays: all checks passed"
