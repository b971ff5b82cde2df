#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Safe to run again: it installs only what is missing.
#
#   scripts/install-deps.sh            native build and its tests
#   scripts/install-deps.sh windows    also the MinGW cross compiler, Wine, Xvfb
#   scripts/install-deps.sh all        everything (fuzzing, benchmark too)
set -euo pipefail

want=(cmake ninja-build g++ libgtest-dev libgmock-dev python3)
case "${1:-native}" in
  native) ;;
  windows) want+=(g++-mingw-w64-i686 wine wine32:i386 xvfb xdotool icoutils imagemagick x11-apps) ;;
  all) want+=(g++-mingw-w64-i686 wine wine32:i386 xvfb xdotool icoutils imagemagick x11-apps
              clang libclang-rt-14-dev libbenchmark-dev) ;;
  *) echo "usage: $0 [native|windows|all]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
for pkg in "${missing[@]}"; do
  if [[ $pkg == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
done
echo "Installing: ${missing[*]}" >&2
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
