#!/usr/bin/env bash
# Installs, from Debian's archive, everything the build, the tests, the simulator and the
# router cross-build need. Idempotent: when every package is already there it asks no server.
# On a fresh machine it says what it installs, one line per package as apt sets it up.
set -euo pipefail

packages=(
  cmake ninja-build g++ make git
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  clang clang-format clang-tidy libclang-rt-14-dev llvm
  busybox-static procps strace qemu-system-arm e2fsprogs cpio
  qemu-user-static g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf
  g++-arm-linux-gnueabi binutils-arm-linux-gnueabi googletest manpages-dev
  # The host tools' Debian package: manual pages, its dependencies, the fresh root it is tested in
  help2man man-db dpkg-dev file debootstrap
  # newuidmap and newgidmap: the simulator run as an ordinary user maps its subordinate ids
  uidmap
)

# The emulated router of scripts/test.d/80-system.sh: Debian's armmp kernel (armhf) with its
# modules, and armel busybox, strace and C library for the machine's own userland. They are
# foreign-architecture packages, so they are unpacked (dpkg-deb -x) into $system_deps, never
# installed on this machine. The kernel is the version that the archive's armmp meta-package
# names today.
system_deps=${QX_SYSTEM_DEPS:-/var/lib/qx-system}
system_packages() {
  [ -r "$system_deps/kernel-release" ] && [ -x "$system_deps/root/bin/busybox" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: the emulated router's packages are missing; run as root to fetch them" >&2
    return 1
  fi
  local arch
  for arch in armhf armel; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  echo "install-deps: reading the archive's package lists for armhf and armel (apt-get update)"
  apt-get update -qq
  local kernel
  kernel=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-armmp\)\(:armhf\)\?$/\1/p' | head -n 1)
  local wanted=("$kernel:armhf" busybox-static:armel strace:armel libc6:armel) download
  download=$(mktemp -d)
  if [ -z "$kernel" ] || ! (cd "$download" && apt-get download -q "${wanted[@]}" >/dev/null 2>&1); then
    echo "install-deps: the archive has no armmp kernel (linux-image-armmp:armhf) or no armel" \
      "busybox-static, strace and libc6 for the emulated router" >&2
    rm -rf "$download"
    return 1
  fi
  rm -rf "$system_deps/root"
  mkdir -p "$system_deps/root"
  local deb
  for deb in "$download"/*.deb; do dpkg-deb -x "$deb" "$system_deps/root"; done
  rm -rf "$download"
  echo "${kernel#linux-image-}" >"$system_deps/kernel-release"
  echo "install-deps: the emulated router's kernel ${kernel#linux-image-} and armel userland" \
    "unpacked in $system_deps"
}

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

# Without them only the system stage fails (with this script's line naming what is missing):
# every other stage still runs.
if [ "${#missing[@]}" -eq 0 ]; then
  system_packages || true
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]} and what they need from the Debian archive" \
  "(about a minute on a fresh machine)"
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: reading the archive's package lists (apt-get update)"
apt-get update -qq
# apt's own progress is a screenful per package; one line each, as it is set up, is enough.
apt-get install -y -q --no-install-recommends "${missing[@]}" |
  while IFS= read -r line; do
    case $line in
      "Setting up "*) echo "install-deps: ${line% ...}" ;;
    esac
  done
system_packages || true
echo "install-deps: done"
