#!/usr/bin/env bash
# The demo: builds everything, makes a sample upgrade file with udtool and runs the upgrader on
# a simulated router whose root file system is too full for the upgrade (old rotated logs, the
# module directory of a kernel that is not running, unused static files). Prints the upgrade log
# and a summary: exit status, the validator's verdict, free space before and after, what the
# cleanup removed, and the reboot command.
#
#   bash scripts/demo.sh             the upgrade goes through
#   bash scripts/demo.sh --damaged   the same upgrade file with one byte flipped is refused
#
# Runs as root (the simulated router needs Linux namespaces and mounts); nothing on this
# machine outside the build tree and a temporary directory is touched.
set -euo pipefail
cd "$(dirname "$0")/.."

scenario=good
case "${1:-}" in
  "") ;;
  --damaged) scenario=damaged ;;
  -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "demo.sh: unknown option $1 (try --help)" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: run as root: the simulated router needs Linux namespaces and mounts" >&2
  exit 1
fi

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target upgrader udtool device-sim

build=build/release
work="$(mktemp -d /tmp/qx-demo.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# The sample upgrade: two inner files the router does not use, then the validator, the kernel
# image and the file-system database (inner files 2, 3 and 4).
cat >"$work/fs-validator" <<'SH'
#!/bin/sh
# Sample validator: checks that it was handed the staged kernel image and database.
[ "$1" = /tmp/ramdisk/kernel_image ] && [ -s "$1" ] || exit 2
[ "$2" = /tmp/ramdisk/filesystem.db ] && [ -s "$2" ] || exit 3
exit 0
SH
printf 'sample release notes\n' >"$work/notes.txt"
head -c 65536 /dev/urandom >"$work/bootloader.sb"
head -c 3145728 /dev/urandom >"$work/kernel_image"
head -c 1048576 /dev/urandom >"$work/filesystem.db"
upgrade="$work/ud1780000123-router-5.2.1.bin"
"$build/tools/udtool" create -o "$upgrade" --upgrade-version 5 --upgrade-name "Router firmware" \
  --release-name 5.2.1 --file-date 20240315 --upgrade-id 730 \
  "$work/notes.txt" "$work/bootloader.sb" "$work/fs-validator" "$work/kernel_image" \
  "$work/filesystem.db"
echo "== sample upgrade file"
"$build/tools/udtool" info "$upgrade"

if [ "$scenario" = damaged ]; then
  # One byte in the middle of the kernel image: its inner file digest no longer matches.
  offset=$(( $(stat -c %s "$upgrade") - 1048576 - 128 - 1572864 ))
  byte=$(dd if="$upgrade" bs=1 skip="$offset" count=1 status=none | od -An -tu1 | tr -d ' ')
  printf "\\$(printf %03o $(( byte ^ 1 )))" | dd of="$upgrade" bs=1 seek="$offset" conv=notrunc status=none
  echo "== one byte of the kernel image flipped at offset $offset"
  "$build/tools/udtool" verify "$upgrade" || true
fi

# A 48 MiB root filled so that less than the 22 MiB the upgrade needs is free. The cleanup
# frees the static files first, then the old kernel's modules, then rotated logs oldest first,
# and stops as soon as there is enough room.
fill=(
  --fill /etc/dsl-3.61.img=3M --fill /usr/bin/msp-ublox=1M --fill /web/images/qx-4100.gif=512K
  --fill /lib/modules/2.6.35.3/kernel/drivers/net/old_wan.ko=4M
  --fill /lib/modules/2.6.35.3-00295-gbbbf593/kernel/drivers/net/wan.ko=2M
  --fill /var/log/messages.3.gz=2M@40 --fill /var/log/messages.2.gz=2M@30
  --fill /var/log/messages.1.gz=2M@20 --fill /var/log/sys.log.2.gz=2M@35
  --fill /var/log/sys.log.1.gz=2M@25 --fill /home/logs/log-00000.txt.gz=2M@45
  --fill /home/logs/log-00001.txt.gz=2M@10 --fill /var/log/messages=256K
)
echo "== upgrading a simulated router (board 12, kernel 2.6.35.3-00295-gbbbf593, root 48M)"
status=0
"$build/sim/device-sim" upgrade "$upgrade" --root-size 48M "${fill[@]}" || status=$?

if [ "$scenario" = good ]; then
  [ "$status" -eq 0 ] || { echo "demo.sh: the sample upgrade did not go through" >&2; exit 1; }
  echo "== demo: the upgrade went through; try 'bash scripts/demo.sh --damaged'"
else
  [ "$status" -eq 1 ] || { echo "demo.sh: the damaged upgrade was not refused" >&2; exit 1; }
  echo "== demo: the damaged upgrade file was refused before anything was extracted; the router"
  echo "   kept its firmware, got its daemons back and rebooted"
fi
