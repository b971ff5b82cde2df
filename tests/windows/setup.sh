#!/usr/bin/env bash
# Makes what this run's Windows tests share: an Xvfb display and one Wine
# prefix (creating a prefix takes a while; it is done once per run).
set -euo pipefail
: "${KAVRO_RUN_DIR:?}"

if [ -f "$KAVRO_RUN_DIR/xvfb.pid" ]; then kill "$(cat "$KAVRO_RUN_DIR/xvfb.pid")" 2>/dev/null || true; fi
rm -rf "$KAVRO_RUN_DIR"
mkdir -p "$KAVRO_RUN_DIR"

display=99
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$KAVRO_RUN_DIR/xvfb.log" 2>&1 &
echo $! >"$KAVRO_RUN_DIR/xvfb.pid"
echo "$display" >"$KAVRO_RUN_DIR/display"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.2; done

source "$(dirname "$0")/wine_env.sh"
started=$SECONDS
if ! "$wine_tools" wineboot --init >"$KAVRO_RUN_DIR/wineboot.log" 2>&1; then
  tail -20 "$KAVRO_RUN_DIR/wineboot.log" >&2
  exit 1
fi
# Relay logs show only the calls the programs under test make themselves.
"$wine_tools" reg delete 'HKCU\Software\Wine\Debug' /v RelayFromExclude /f >/dev/null 2>&1 || true
"$wine_tools" reg add 'HKCU\Software\Wine\Debug' /v RelayFromInclude /t REG_SZ \
  /d 'kavro-register.exe;profile-oracle.exe' /f >/dev/null
# One wineserver for the whole run, ended by cleanup.sh.
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
# Wine's services start with the first program and live as long as the
# server. Started here, they hold no test's output open: ctest waits for a
# test's output to close, whichever test runs first.
"$wine_tools" cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "Wine prefix ready in $((SECONDS - started)) s on display :$display"
