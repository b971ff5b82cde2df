#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
#   native    the Linux program: unit tests, tests of the built program,
#             fault injection
#   sanitize  the same under AddressSanitizer and UndefinedBehaviorSanitizer,
#             plus a bounded fuzzing run of the profile edit
#   windows   the 32-bit Windows program under Wine and Xvfb, and the native
#             writer checked against the system's own profile reader
#   deploy    the release artifacts, and the Linux deployment play run against
#             this machine (it installs and removes the Debian package)
#   layers    no OS header outside the OS layers and the entry points
#   format    the C++ sources as .clang-format says (scripts/check-format.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all

run_preset() {  # run_preset NAME [configure options...]
  echo "=== $1" >&2
  cmake --preset "$1" "${@:2}" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

run_preset native
run_preset sanitize
# The differential test checks the native program just built, by name.
run_preset windows -DKAVRO_NATIVE_PROGRAM="$PWD/build/native/kavro-register"

echo "=== deploy" >&2
scripts/package.sh
tests/deploy/deploy_test.sh

echo "=== layers" >&2
# Only the OS layers and the entry points include an OS's own headers.
! git grep -nE '#include <(windows|unistd|fcntl|dirent|pwd|signal|sys/[a-z]+)\.h>' -- src \
  ':!src/platform/posix' ':!src/platform/windows' ':!src/shell/main_*.cc'

echo "=== format" >&2
scripts/check-format.sh
