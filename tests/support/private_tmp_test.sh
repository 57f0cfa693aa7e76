#!/usr/bin/env bash
# The private /tmp of the test programs (private_tmp_main.cpp), wherever CI runs them: on the
# host, with $TMPDIR below /tmp, in a plain chroot (its / not a mount point), and there under
# an emulator that maps absolute names into a prefix directory (qemu-user -L, as the router's
# unit tests run). The probe is static and copied into the chroot: this script mounts nothing.
#   private_tmp_test.sh PROBE
set -euo pipefail
probe=$(realpath "$1")
emulator=/usr/bin/qemu-$(uname -m)-static
host_file=$(mktemp /tmp/qx-private-tmp-test.XXXXXX)
root=$(mktemp -d "$(dirname "$probe")/private-tmp-root.XXXXXX")
trap 'rm -f "$host_file"; rm -r --one-file-system "$root"' EXIT

failed=0
run() {  # run NAME COMMAND...: the probe, which must pass
  local name=$1 output
  shift
  if ! output=$("$@" --gtest_brief=1 2>&1); then
    printf 'FAIL: %s\n%s\n' "$name" "$output"
    failed=1
  fi
}
export QX_HOST_TMP_FILE=$host_file
cd "$root"
QX_EXPECTED_CWD=$root run host "$probe"
QX_EXPECTED_CWD=$root run "TMPDIR below /tmp" env TMPDIR=/tmp/qx-tmpdir/sub "$probe"

mkdir "$root/tmp" "$root/prefix"
cp "$probe" "$root/probe"
touch "$root/.qx-root"
export QX_ROOT_FILE=/.qx-root QX_EXPECTED_CWD=/
run chroot chroot "$root" /probe
if [ -x "$emulator" ]; then
  cp "$emulator" "$root/emulator"
  run "chroot, under $emulator -L /prefix" chroot "$root" /emulator -L /prefix /probe
fi
exit $failed
