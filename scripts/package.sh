#!/usr/bin/env bash
# Builds the release artifacts into build/packages/:
#   kavro-register-<version>-windows.zip   the Windows program and its README
#   kavro-register_<version>_<arch>.deb    the native program (/usr/bin) and its README
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh deploy
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target kavro-register
  (cd "build/$preset" && cpack >/dev/null)
done
ls build/packages/*.zip build/packages/*.deb
