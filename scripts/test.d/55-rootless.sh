#!/usr/bin/env bash
# The simulator as an ordinary user: a user that this stage creates (with a range of
# subordinate ids in /etc/subuid and /etc/subgid) builds the device tier (target device_tier) of
# its own copy of the source (the simulator library names its helper programs by absolute path,
# so a build tree cannot move, and the checkout may not be readable by other users) and runs
# every test that uses the simulator (those labelled device) as itself; then again without
# subordinate ids (a single-id map: device root alone). The user, its ids and its home go at the
# end, also after a failure; an earlier run's leftovers go first.
set -euo pipefail
cd "$(dirname "$0")/../.."

readonly user=qx-rootless
# Its home is made afresh by mktemp in /var/tmp, where any user may write: a fixed name there
# could be a link planted by another user, which install -o would follow and hand over.
home=
# Above the ranges that useradd hands out and below the root simulator's device ids.
readonly subordinate="$user:1500000000:1048576"

drop_ranges() { sed -i "/^$user:/d" /etc/subuid /etc/subgid; }
clean_up() {
  drop_ranges
  if id "$user" >/dev/null 2>&1; then
    # An earlier run's home, as its passwd entry names it, goes with the user.
    local old_home
    old_home=$(getent passwd "$user" | cut -d: -f6)
    userdel --force "$user"
    case $old_home in /var/tmp/qx-rootless.*) rm -rf --one-file-system "$old_home" ;; esac
  fi
  if [ -n "$home" ]; then rm -rf --one-file-system "$home"; fi
}
as_user() { runuser -u "$user" -- env HOME="$home" "$@"; }
simulator_tests() {
  as_user sh -c "cd '$home/src/build/release' && ctest -j2 --output-on-failure -L device"
}
elapsed_since() { echo $(($(date +%s) - $1)); }

touch /etc/subuid /etc/subgid
clean_up
trap clean_up EXIT
home=$(mktemp -d /var/tmp/qx-rootless.XXXXXX)
useradd --system --no-create-home --home-dir "$home" --shell /usr/sbin/nologin "$user"
drop_ranges
echo "$subordinate" >>/etc/subuid
echo "$subordinate" >>/etc/subgid
chown "$user:$user" "$home"
chmod 0755 "$home"
as_user mkdir "$home/src"
# The kernel gives an ordinary user no user namespace inside a chroot (unshare(2) fails with
# EPERM when the caller's root is not its mount namespace's), nor where unprivileged user
# namespaces are forbidden: nothing rootless can run there, so the stage says so and ends.
if ! refusal=$(as_user unshare --user true 2>&1); then
  echo "rootless: skipped: $user may not create a user namespace on this machine (a chroot," \
    "or unprivileged user namespaces forbidden): ${refusal:-unshare failed}"
  exit 0
fi
tar --exclude=./build --exclude=./.git -cf - . | as_user tar -xf - -C "$home/src"

start=$(date +%s)
as_user sh -c "cd '$home/src' && cmake --preset release >/dev/null && cmake --build --preset release --target device_tier"
echo "rootless: the build as $user took $(elapsed_since "$start") s"

start=$(date +%s)
as_user sh -c "cd '$home/src' && build/release/sim/device-sim run -- /bin/cat /proc/self/uid_map"
simulator_tests
echo "rootless: the simulator tests as $user with subordinate ids took $(elapsed_since "$start") s"

start=$(date +%s)
drop_ranges
simulator_tests
echo "rootless: the simulator tests as $user without subordinate ids took" \
  "$(elapsed_since "$start") s"
