# What the host checks on a router disk after a run, sourced by system_test.sh. The disk is read
# with e2fsprogs (e2fsck, debugfs), never mounted on the host.

# The launcher, the memory probe and an armel strace with its C library, for the payload disk.
build_payload_programs() {
  local bin=$work/payload-bin
  rm -rf "$bin"
  mkdir -p "$bin/lib"
  "$machine_dir/refused_syscalls.sh" >"$work/refused_syscalls.h"
  "$cross_cc" -static -Os -Wall -Wextra -Werror -s -I"$work" -o "$bin/qx-old-kernel" \
    "$machine_dir/old_kernel.c"
  "${cross_cc%gcc}g++" -std=c++17 -static -Os -Wall -Wextra -Werror -s -o "$bin/qx-peak-rss" \
    bench/size/peak_rss_wrapper.cpp
  cp "$deps/root/usr/bin/strace" "$bin/strace"
  cp "$deps/root/lib/arm-linux-gnueabi/ld-linux.so.3" "$deps/root/lib/arm-linux-gnueabi/libc.so.6" \
    "$bin/lib/"
}

# Every path of a router tree that an upgrade must leave as it was: type, size, content and link
# target. /tmp, /var/log and the upgrade-started marker are the run's own.
make_manifest() {
  (
    cd "$1"
    find . \( -path ./tmp -o -path ./var/log -o -path ./lost+found -o -path ./etc/upgrade_started \
      \) -prune -o -printf '%y %s %p %l\n' | sort
    find . \( -path ./tmp -o -path ./var/log -o -path ./lost+found \) -prune -o -type f \
      ! -path ./etc/upgrade_started -print0 | sort -z | xargs -0 -r md5sum
  )
}

# The disk's file system is clean as it stands (its journal already replayed).
check_clean() {
  local report
  report=$(e2fsck -fn "$1" 2>&1) || fail "$2: e2fsck -fn finds the file system not clean: $report"
}

# A copy of a power-cut disk with its journal replayed by e2fsck, then checked: clean.
replay_and_check() {
  local image=$1 copy=$2 name=$3 report
  cp --sparse=always "$image" "$copy"
  report=$(e2fsck -E journal_only -y "$copy" 2>&1) || fail "$name: journal replay failed: $report"
  check_clean "$copy" "$name"
}

dump_tree() {
  rm -rf "$2"
  mkdir -p "$2"
  debugfs -R "rdump / $2" "$1" >/dev/null 2>&1 || fail "cannot read $1"
}

# Every device path that the cleanup's tables name (files, directories, the paths in its rm
# commands), read from the tables' source: what a run may remove.
removal_paths() {
  cat cleanup/removal_tables.h cleanup/kv70_tables.h | grep -o '"[^"]*"' |
    grep -o '/[A-Za-z0-9_.+/-]*' | sed 's|/*$||' | grep -v '^$' | sort -u
}

# Everything of the router is still there, unchanged, but what the cleanup's tables name.
check_nothing_lost() {
  local tree=$1 name=$2 lost
  lost=$(comm -23 <(awk 'NR == FNR { removable[$0] = 1; next }
      { path = substr(length($1) == 32 ? $2 : $3, 2)  # "./x" of a digest or a listing line
        for (p = path; p != ""; sub(/\/[^\/]*$/, "", p)) if (p in removable) next
        print }' <(removal_paths) "$work/router.manifest" | sort) \
    <(make_manifest "$tree" | sort))
  [ -z "$lost" ] || fail "$name: lost or changed outside the removal lists:"$'\n'"$lost"
}

# The log's messages, time stamps removed.
log_messages() { sed 's/^[0-9]* [0-9:]* - //' "$1/var/log/upgrade_log"; }

# The upgrade log on the disk holds the whole run, after the earlier run's history, and ends with
# the exit's line. With "after-cut" as $4 the run followed a power cut: the history may be gone
# with the ramdisk that held it, and the cleanup may have had less to do.
check_exit_log() {
  local tree=$1 exit=$2 name=$3 after_cut=${4:-} messages last
  [ -f "$tree/var/log/upgrade_log" ] || fail "$name: no /var/log/upgrade_log on the disk"
  messages=$(log_messages "$tree")
  [ -n "$after_cut" ] || grep -qx 'Upg: an earlier run' <<<"$messages" ||
    fail "$name: the log lost its history"
  grep -qx 'Upg: V0.0.5: Beginning upgrade' <<<"$messages" || fail "$name: no banner in the log"
  last=$(grep -v '^$' <<<"$messages" | tail -n 1)
  case $exit in
    E7)
      local line
      [ -n "$after_cut" ] || for line in "Running cleanup to allow for upgrade" "Clearing unused kernel modules" \
        "Enough space created after clearing kernel modules" "Upgrade Name: router system test" \
        "Successfully upgraded firmware"; do
        grep -qx "$line" <<<"$messages" || fail "$name: the log lacks \"$line\""
      done
      grep -qE '^Upgrade file size [0-9]+$' <<<"$messages" || fail "$name: the log lacks the file size"
      ;;
    E2) [ "$last" = "This upgrade file only works on 730/830 Rev1 units" ] ||
      fail "$name: the log ends with \"$last\"" ;;
    E5) [[ "$last" == "Unable to parse file: "* ]] || fail "$name: the log ends with \"$last\"" ;;
    E1) [ "$last" = "/usr/sbin/upgrader: No watchdog provided" ] ||
      fail "$name: the log ends with \"$last\"" ;;
  esac
  if [ "$exit" = E7 ]; then
    [ "$last" = "Successfully upgraded firmware" ] || fail "$name: the log ends with \"$last\""
  fi
}

# After E7 with a passing validator: the marker is cleared, no staging file is left under /tmp/,
# and the cleanup removed the old kernel's modules.
check_upgraded() {
  local tree=$1 name=$2 path
  [ ! -e "$tree/etc/upgrade_started" ] || fail "$name: the upgrade-started marker is still there"
  for path in /tmp/fs-validator /tmp/kernel_image /tmp/filesystem.db "$old_modules"; do
    [ ! -e "$tree$path" ] || fail "$name: $path is still on the disk"
  done
}
