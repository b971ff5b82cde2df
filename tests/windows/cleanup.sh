#!/usr/bin/env bash
# Ends what setup.sh started.
set -uo pipefail
: "${KAVRO_RUN_DIR:?}"
source "$(dirname "$0")/wine_env.sh"
wineserver -k 2>/dev/null
[ -f "$KAVRO_RUN_DIR/xvfb.pid" ] && kill "$(cat "$KAVRO_RUN_DIR/xvfb.pid")" 2>/dev/null
exit 0
