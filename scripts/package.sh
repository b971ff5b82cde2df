#!/usr/bin/env bash
# Builds the release artifacts into build/packages/:
#   kavro-register-<version>-windows.zip   the Windows program, its README and LICENSE
#   kavro-register_<version>_<arch>.deb    the native program (/usr/bin), its manual
#                                          page, README, changelog and copyright
# The Debian package is checked with lintian, when it is installed: any error
# or warning fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh deploy
# The package's directories are made with the umask: Debian's are 0755.
umask 022
rm -f build/packages/*.zip build/packages/*.deb
declare -A targets=([native]="kavro-register deb_docs" [windows]="kavro-register")
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  # shellcheck disable=SC2086  # a list of targets
  cmake --build --preset "$preset" --target ${targets[$preset]}
  (cd "build/$preset" && cpack >/dev/null)
done
ls build/packages/*.zip build/packages/*.deb
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning --display-info build/packages/*.deb
  echo "lintian: no errors, no warnings"
else
  echo "lintian is not installed: the Debian package was not checked" >&2
fi
