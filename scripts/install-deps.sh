#!/usr/bin/env bash
# Installs, from Debian's archive, everything the build, the tests, the simulator and the
# router cross-build need. Idempotent: when every package is already there it asks no server.
# On a fresh machine it says what it installs, one line per package as apt sets it up.
set -euo pipefail

packages=(
  cmake ninja-build g++ make git
  libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  clang clang-format libclang-rt-14-dev llvm
  busybox-static procps strace
  qemu-user-static g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf
  g++-arm-linux-gnueabi binutils-arm-linux-gnueabi googletest manpages-dev
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
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
echo "install-deps: done"
