#!/usr/bin/env bash
# The Debian package of the workstation tools (qx-upgrade-tools), as a user gets it:
#  1. cpack makes it from the release build; it holds udtool, device-sim, device-sim's helpers,
#     the manual pages and bash completion, and no upgrader; the pages render with man;
#  2. it is installed on a fresh Debian 12: a copy of a cached pristine minimal root
#     (debootstrap --variant=minbase, made once in $QX_DIST_ROOT), where apt resolves its
#     dependencies from the archive; there `udtool --version` and `device-sim run -- true`
#     must work. Everything runs in a private mount namespace (private_mounts_exec: also from a
#     chroot), so the copy's mounts vanish with the stage, and the copy is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/../.."
stage_start=$(date +%s)
elapsed() { echo $(($(date +%s) - stage_start)); }

# --- 1. the package
cmake --preset release >/dev/null
cmake --build --preset release
rm -rf build/release/package
cpack --config build/release/CPackConfig.cmake -G DEB -B build/release/package >/dev/null
deb=$(ls build/release/package/qx-upgrade-tools_*.deb)
echo "package: $deb"
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for path in ./usr/bin/udtool ./usr/bin/device-sim ./usr/lib/qx-upgrade-tools/qx_sim_init \
  ./usr/lib/qx-upgrade-tools/qx_sim_shell ./usr/share/man/man1/udtool.1 \
  ./usr/share/man/man1/device-sim.1 ./usr/share/bash-completion/completions/udtool \
  ./usr/share/bash-completion/completions/device-sim; do
  grep -qxF "$path" <<<"$contents" || { echo "package: $path missing from $deb" >&2; exit 1; }
done
if grep -q 'upgrader$' <<<"$contents"; then
  echo "package: $deb holds an upgrader; the host build's must never be installed" >&2
  exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "package: Depends: $depends"
for needed in busybox-static procps libc6 libstdc++6; do
  grep -q "\\b$needed\\b" <<<"$depends" || { echo "package: no dependency on $needed" >&2; exit 1; }
done
for page in udtool device-sim; do
  # groff's warnings go to standard error: a clean page has none.
  warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "build/release/dist/$page.1" 2>&1 >/dev/null)
  rendered=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l "build/release/dist/$page.1" 2>/dev/null)
  if [ -n "$warnings" ] || ! grep -q "^NAME" <<<"$rendered" ||
    ! grep -Eq "^ +$page (create|upgrade)$" <<<"$rendered"; then
    echo "$warnings" >&2
    echo "package: the manual page $page(1) does not render cleanly" >&2
    exit 1
  fi
done
echo "package: contents, dependencies and manual pages checked ($(elapsed) s)"

# --- 2. a fresh Debian 12
dist_root=${QX_DIST_ROOT:-/var/lib/qx-dist}
mirror=${QX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
pristine=$dist_root/bookworm-minbase
if [ ! -x "$pristine/usr/bin/apt-get" ]; then
  echo "package: making the pristine Debian 12 root $pristine (debootstrap, a few minutes)"
  rm -rf "$pristine.partial"
  mkdir -p "$dist_root"
  debootstrap --variant=minbase bookworm "$pristine.partial" "$mirror" >"$dist_root/debootstrap.log" 2>&1 ||
    { tail -n 20 "$dist_root/debootstrap.log" >&2; exit 1; }
  rm -rf "$pristine.partial/var/cache/apt/archives/"*.deb
  mv "$pristine.partial" "$pristine"
fi
throwaway=$(mktemp -d "${TMPDIR:-/tmp}/qx-package-root.XXXXXX")
trap 'rm -rf --one-file-system "$throwaway"' EXIT
cp -a "$pristine/." "$throwaway/"
cp "$deb" "$throwaway/tmp/"
cp -L /etc/resolv.conf "$throwaway/etc/resolv.conf"
project_version=$(sed -n 's/^project(qx_upgrader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
echo "package: installing in a copy of the pristine root ($(elapsed) s)"
build/release/tests/support/private_mounts_exec /bin/bash -euo pipefail -c '
  root=$1 deb=$2 project_version=$3
  mount -t proc proc "$root/proc"
  mount --bind /dev "$root/dev"
  in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    DEBIAN_FRONTEND=noninteractive "$@"; }
  in_root apt-get update -qq
  in_root apt-get install -y -q --no-install-recommends "/tmp/$deb" >"$root/apt.log" 2>&1 ||
    { cat "$root/apt.log" >&2; exit 1; }
  echo "package: apt installed $(sed -n "s/^Setting up \([^ ]*\) .*/\1/p" "$root/apt.log" | xargs)"
  version=$(in_root udtool --version)
  echo "package: installed: $version"
  [ "$version" = "udtool $project_version" ] ||
    { echo "package: udtool --version printed \"$version\"" >&2; exit 1; }
  in_root device-sim run --quiet -- /bin/sh -c "echo device says hello" >"$root/run.out" 2>&1 ||
    { cat "$root/run.out" >&2; exit 1; }
  grep -qx "device says hello" "$root/run.out" ||
    { cat "$root/run.out" >&2; exit 1; }
  # A command name is looked up in the PATH of the device, as a shell would.
  in_root device-sim run -- true >/dev/null
  echo "package: device-sim ran a device in the fresh root"
' package-root "$throwaway" "$(basename "$deb")" "$project_version"
echo "package: stage done in $(elapsed) s"
