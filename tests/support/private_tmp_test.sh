#!/usr/bin/env bash
# The private /tmp of the test programs (private_tmp_main.cpp), wherever CI runs them: on the
# host, with $TMPDIR below /tmp, in a plain chroot (its / not a mount point), and there under
# an emulator that maps absolute names into a prefix directory (qemu-user -L, as the router's
# unit tests run).
#   private_tmp_test.sh PROBE [--no-emulator]
# The chroot is made on a tmpfs in a mount namespace of the script's own: its mounts never
# exist on the host, which sees an empty directory, removed with rmdir.
set -euo pipefail
probe=$(realpath "$1")
dir=$(dirname "$probe")
emulator=/usr/bin/qemu-$(uname -m)-static
if [ "${2:-}" = --no-emulator ]; then emulator=""; fi
host_file=$(mktemp /tmp/qx-private-tmp-test.XXXXXX)
root=$(mktemp -d "$dir/private-tmp-root.XXXXXX")
trap 'rm -f "$host_file"; rmdir "$root"' EXIT

status=0
unshare --mount --propagation private /bin/bash -euo pipefail -c '
probe=$1 dir=$2 emulator=$3 r=$4
export QX_EXPECTED_CWD=$dir QX_HOST_TMP_FILE=$5
failed=0
run() {  # run NAME COMMAND...: the probe, which must pass
  local name=$1 output
  shift
  if ! output=$("$@" 2>&1); then
    printf "FAIL: %s\n%s\n" "$name" "$output"
    failed=1
  fi
}
cd "$dir"
run host "$probe" --gtest_brief=1
run "TMPDIR below /tmp" env TMPDIR=/tmp/qx-tmpdir/sub "$probe" --gtest_brief=1

# The chroot is a directory on that tmpfs, not a mount point of its own.
mount -t tmpfs qx-private-tmp-root "$r"
r=$r/root
mkdir "$r"
for d in /usr /etc /bin /sbin /lib /lib64; do
  if [ -L $d ]; then ln -s "$(readlink $d)" "$r$d"
  elif [ -e $d ]; then mkdir "$r$d" && mount --rbind $d "$r$d"; fi
done
mkdir -p "$r/proc" "$r/tmp" "$r$dir" "$r/prefix"
mount -t proc proc "$r/proc" && mount --bind "$dir" "$r$dir"
touch "$r/.qx-root"
in_chroot() {
  chroot "$r" /usr/bin/env QX_ROOT_FILE=/.qx-root /bin/sh -c "cd \"$dir\" && exec \"\$@\"" sh "$@"
}
run chroot in_chroot "$probe" --gtest_brief=1
if [ -n "$emulator" ] && [ -x "$emulator" ]; then
  run "chroot, under $emulator -L /prefix" in_chroot "$emulator" -L /prefix "$probe" --gtest_brief=1
fi
exit $failed
' private-tmp-test "$probe" "$dir" "$emulator" "$root" "$host_file" || status=$?
exit $status
