# Shared by the Windows tests: one Wine prefix and one Xvfb display per test
# run, made by setup.sh in the build directory. Sourced, not run.
#   KAVRO_EXE      the program under test
#   KAVRO_RUN_DIR  where the prefix and the display's number live
set -euo pipefail

export WINEPREFIX="$KAVRO_RUN_DIR/prefix"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export DISPLAY=":$(cat "$KAVRO_RUN_DIR/display" 2>/dev/null || echo 0)"

# 64-bit Wine runs the tools fast even where 32-bit programs go through an
# emulator; the program under test is 32-bit and runs through `wine`.
wine_tools=/usr/lib/wine/wine64
[ -x "$wine_tools" ] || wine_tools=wine

drive_c="$WINEPREFIX/drive_c"
install_dir="$drive_c/Program Files/DASYLab 8.0"
ini="$install_dir/DASYLab.ini"

warning_text='Driver cannt find C:\Programs Files\DASYLab 8.0\  Please modify the DASYLab.ini in correct directory by manual'

relay_log="$KAVRO_RUN_DIR/relay.log"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  if [ "$2" != "$3" ]; then
    fail "$1: got [$2], expected [$3]"
  fi
}

expect_file() {  # expect_file WHAT PATH EXPECTED_CONTENT (printf format)
  local expected
  expected=$(mktemp)
  printf "$3" > "$expected"
  if ! cmp -s "$2" "$expected"; then
    fail "$1: $2 holds:"
    od -c "$2" | head -20 >&2
  fi
  rm -f "$expected"
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

reset_install_dir() {
  rm -rf "$drive_c/Program Files/DASYLab 8.0"
  mkdir -p "$install_dir"
}

# Keeps a file open through the probe in the background, without sharing or
# sharing reading and writing, until let_go; fails the test if it never does.
hold_open() {  # hold_open WINDOWS_PATH [shared]
  local said="$KAVRO_RUN_DIR/holder"
  # Gone before the holder starts, so that an earlier holder's word is
  # never read for this one's.
  rm -f "$said"
  "$wine_tools" "$KAVRO_PROBE" hold "$1" 0 ${2:+"$2"} >"$said" &
  holder=$!
  held_path=$drive_c/${1#C:\\}
  held_path=${held_path//\\//}
  until grep -qs held "$said"; do
    kill -0 "$holder" 2>/dev/null || { fail "holder of $1: ended without holding it"; return; }
    sleep 0.1
  done
}

let_go() {  # a holder gone already is fine: it was seen holding the file
  kill "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
  wait_until_server_lets_go "$held_path"
}

# Wine's server closes what a Windows process held after the process has
# ended, so a killed or stopped one's files may still be held when the next
# program starts: waits until the server holds HOST_PATH, or anything
# under it, no more.
wait_until_server_lets_go() {  # wait_until_server_lets_go HOST_PATH
  local path fds
  path=$(realpath "$1")
  fds=$(pgrep wineserver | sed 's|.*|/proc/&/fd|')
  [ -n "$fds" ] || return 0
  # shellcheck disable=SC2086 # one directory per server
  while find $fds \( -lname "$path" -o -lname "$path/*" \) 2>/dev/null | grep -q .; do
    sleep 0.05
  done
}

# Starts the program under Wine in the background, with the calls it makes
# itself logged to $relay_log; wait_exe collects its exit status.
start_exe() {  # start_exe CWD ARGS...
  local cwd=$1
  shift
  (cd "$cwd" && WINEDEBUG=+relay exec wine "$KAVRO_EXE" "$@" 2>"$relay_log" >/dev/null) &
  exe_pid=$!
}

wait_exe() {
  status=0
  wait "$exe_pid" || status=$?
}

# Waits for a top-level window titled exactly $1; prints its X window ids.
wait_for_window() {
  local ids=""
  for _ in $(seq 600); do
    ids=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true)
    [ -n "$ids" ] && break
    kill -0 "$exe_pid" 2>/dev/null || break
    sleep 0.5
  done
  echo "$ids"
}

# Every window call and file change the program made itself, from the relay
# log: pointers before strings dropped, a temporary file's (or record's)
# nonce written as <n>, the arguments of data writes and flushes left
# out and their repeats folded into one line.
calls_from_exe() {
  grep -aiE ':Call (user32|kernel32)\.(CreateWindow|CreateDialog|DialogBox|ShowWindow|MessageBox|WritePrivateProfileString|SetCurrentDirectory|CreateFile|WriteFile|FlushFileBuffers|SetFileAttributes|MoveFile|ReplaceFile|DeleteFile)' \
    "$relay_log" |
    sed -E 's/^[0-9a-f]+://; s/ ret=[0-9a-f]+$//; s/Call KERNEL32\./Call kernel32./; s/Call USER32\./Call user32./' |
    sed -E 's/(\(|,)([0-9a-f]{8},)?[0-9a-f]{8} (L?)"/\1\2\3"/g; s/\.[0-9]+(\.[0-9]+)?\.kavro-(tmp|redo)/.<n>.kavro-\2/g' |
    sed -E 's/\.(WriteFile|FlushFileBuffers)\(.*/.\1(...)/' | uniq || true
}
