#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Safe to run again: it installs only what is missing.
#
#   scripts/install-deps.sh            native build and its tests
#   scripts/install-deps.sh windows    also the MinGW cross compiler, Wine, Xvfb
#   scripts/install-deps.sh deploy     packaging and the Ansible plays
#   scripts/install-deps.sh all        everything (fuzzing, benchmark, format check too)
set -euo pipefail

native=(cmake ninja-build g++ zlib1g-dev libgtest-dev libgmock-dev python3 libbenchmark-dev attr
        ntfs-3g dosfstools fusefat strace)
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev wine wine32:i386 wine64 xvfb
         xdotool attr acl
         icoutils librsvg2-bin imagemagick file binutils-mingw-w64-i686)
sanitize=(clang libclang-rt-14-dev)
deploy=(dpkg-dev ansible python3-apt lintian)
format=(clang-format)
case "${1:-native}" in
  native) want=("${native[@]}") ;;
  windows) want=("${native[@]}" "${windows[@]}") ;;
  deploy) want=("${native[@]}" "${windows[@]}" "${deploy[@]}") ;;
  all) want=("${native[@]}" "${windows[@]}" "${sanitize[@]}" "${deploy[@]}" "${format[@]}") ;;
  *) echo "usage: $0 [native|windows|deploy|all]" >&2; exit 2 ;;
esac

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# A mirror in the middle of a sync fails an update now and then: try again,
# and go on with the lists there are if it keeps failing (the install says
# whether they were enough).
update_package_lists() {
  for attempt in 1 2 3; do
    "${as_root[@]}" apt-get update -qq && return 0
    echo "apt-get update failed (attempt $attempt)" >&2
    sleep $((attempt * 5))
  done
}

missing=()
for pkg in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  echo "Installing: ${missing[*]}" >&2
  update_package_lists
  install=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq
           --no-install-recommends)
  # When one architecture's list of security updates could not be fetched,
  # 32-bit and 64-bit copies of a library no longer agree on a version; the
  # release's own suite has both.
  if ! "${install[@]}" "${missing[@]}" >&2; then
    echo "Installing from the release's own suite instead" >&2
    "${install[@]}" -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}" >&2
  fi
fi

# The Windows program is 32-bit, and so is the Wine that runs it. Some
# kernels are built without 32-bit support; there, 32-bit Linux programs
# run through QEMU's user-mode emulator instead (slower, but the same Wine).
if [[ " ${want[*]} " == *" wine32:i386 "* ]] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "This kernel does not run 32-bit programs; running them through qemu-i386." >&2
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
    update_package_lists
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
      qemu-user-static >&2
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # 32-bit x86 ELF executables and shared objects; F: the emulator is
    # opened now, so it works in every mount namespace.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:F" |
      "${as_root[@]}" tee "$binfmt/register" >/dev/null
  fi
  /usr/lib/wine/wine --version >/dev/null
fi
