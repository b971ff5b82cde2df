#!/usr/bin/env bash
# Builds the release artifacts into build/packages/:
#   kavro-register-<version>-windows.zip   the Windows program, README.txt (the
#                                          README with CRLF line endings), LICENSE
#                                          and the screenshot, docs/warning-box.png
#   kavro-register_<version>_<arch>.deb    the native program (/usr/bin), its manual
#                                          page, README (and its screenshot),
#                                          changelog and copyright
# The Debian package is checked with lintian, when it is installed: any error,
# warning or hardening tag fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh deploy
# The package's directories are made with the umask: Debian's are 0755.
umask 022
rm -f build/packages/*.zip build/packages/*.deb

# The native program in the Debian package is built as Debian builds its
# own, with dpkg-buildflags' flags and all its hardening (position
# independent, full RELRO, stack protector, fortified functions), in a build
# directory of its own, so that the test builds keep theirs.
buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake --preset native -B build/package-native -DBUILD_TESTING=OFF -DKAVRO_BENCHMARKS=OFF \
  -DCMAKE_CXX_FLAGS="$(buildflag CPPFLAGS) $(buildflag CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(buildflag LDFLAGS)" >/dev/null
cmake --build build/package-native --target kavro-register deb_docs
(cd build/package-native && cpack >/dev/null)

cmake --preset windows >/dev/null
cmake --build --preset windows --target kavro-register
(cd build/windows && cpack >/dev/null)

ls build/packages/*.zip build/packages/*.deb
if command -v lintian >/dev/null; then
  # Pedantic and informational tags are shown; a hardening tag fails too.
  report=$(lintian --fail-on error,warning --display-info --pedantic build/packages/*.deb) || {
    echo "$report"
    exit 1
  }
  echo "$report"
  if grep -q 'hardening-' <<<"$report"; then
    echo "lintian: the program is not built with Debian's hardening flags" >&2
    exit 1
  fi
  echo "lintian: no errors, no warnings, no hardening tags"
else
  echo "lintian is not installed: the Debian package was not checked" >&2
fi
