# The emulated router: images and boots, sourced by tests/system/system_test.sh.
#
# The machine is qemu's 32-bit ARM virt board (cortex-a15, 256 MiB, no network) running
# Debian's armmp kernel. It boots from an initramfs (armel busybox and the modules it needs) that
# mounts the router's root disk, /dev/vda: an ext4 image built from a tree with mke2fs -d, so no
# loop mount is needed, mounted with commit=30 so that a reset loses what was not synced. A
# second, read-only disk, /dev/vdb, carries the scenario and the upgrade file. The console is a
# pipe read line by line, so that the host can cut the power (the monitor's system_reset) right
# after the run shows a given step; with -no-reboot qemu exits on any reset, the watchdog's
# included.

deps=${QX_SYSTEM_DEPS:-/var/lib/qx-system}
work=${QX_SYSTEM_WORK:-$PWD/build/system}
kernel=$deps/root/boot/vmlinuz-$(cat "$deps/kernel-release" 2>/dev/null)
modules=$deps/root/lib/modules/$(cat "$deps/kernel-release" 2>/dev/null)
readonly deps work kernel modules
readonly here=$PWD/tests/system    # the scenario and its watchdog program
readonly machine_dir=$PWD/sim/machine  # the machine and the programs that run in it
readonly cross_cc=arm-linux-gnueabi-gcc
readonly services=(/usr/sbin/service-manager /sbin/qx_monitor /usr/sbin/rsyslogd
  /usr/sbin/logrotate /usr/sbin/lldpd /usr/sbin/snmpd /sbin/nvlogger /usr/sbin/qxsshd
  /usr/sbin/sshd /usr/sbin/dnsmasq /usr/sbin/pluto /usr/sbin/openvpn /usr/sbin/tcpdump
  /usr/sbin/zebra /usr/sbin/ripd /usr/sbin/hostapd /usr/sbin/inadyn /usr/sbin/diald
  /usr/sbin/pppd /usr/sbin/vrrpd /usr/sbin/l2tpd /usr/sbin/pptp /usr/sbin/msmtp
  /usr/sbin/msp-telit /usr/sbin/msp-quectel)
# Module directories of kernels this unit no longer runs: the cleanup's stage 3 removes them.
readonly old_modules=/lib/modules/2.6.35.3-00108-g29117d2
readonly root_disk_mib=64
readonly free_before_mib=12  # below the 22 MiB the upgrade needs, so the cleanup must work

fail() {
  echo "system: $*" >&2
  exit 1
}

check_deps() {
  [ -r "$kernel" ] && [ -x "$deps/root/bin/busybox" ] ||
    fail "no armmp kernel or armel busybox in $deps: run scripts/install-deps.sh"
  command -v qemu-system-arm >/dev/null || fail "no qemu-system-arm: run scripts/install-deps.sh"
}

# The router's own programs that Debian has no armel package of, cross-built static.
build_programs() {
  mkdir -p "$work/bin"
  local program
  for program in service pkill trace_sh; do
    "$cross_cc" -static -Os -Wall -Wextra -Werror -s -o "$work/bin/$program" \
      "$machine_dir/$program.c"
  done
}

make_initramfs() {
  local tree=$work/initramfs module
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,dev,proc,sys,root,modules}
  cp "$deps/root/bin/busybox" "$tree/bin/busybox"
  for applet in sh mount umount insmod sleep cat switch_root poweroff echo; do
    ln -s busybox "$tree/bin/$applet"
  done
  for module in crc16 mbcache jbd2 crc32c_generic ext4 virtio_mmio virtio_blk softdog; do
    cp "$(find "$modules" -name "$module.ko" | head -n 1)" "$tree/modules/"
  done
  cp "$machine_dir/initramfs-init" "$tree/init"
  (cd "$tree" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
}

# The router's root file system as a tree: busybox applets, the services, the upgrader, logs, the
# module directory of an old kernel, and canary files that no upgrade may touch.
make_router_tree() {
  local tree=$1 binary=$2 filler_kib=$3 applet
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,sbin,usr/bin,usr/sbin,etc,proc,sys,dev,tmp/ramdisk,mnt/payload,root} \
    "$tree"/{var/log,var/run,var/lock,home/logs,lib/modules} "$tree$old_modules/kernel"
  chmod 1777 "$tree/tmp"
  cp "$deps/root/bin/busybox" "$tree/bin/busybox"
  for applet in $("$deps/root/bin/busybox" --list 2>/dev/null || qemu-arm-static \
    "$deps/root/bin/busybox" --list); do
    case $applet in sh | watchdog | pkill | busybox | init) continue ;; esac
    ln -s busybox "$tree/bin/$applet"
  done
  cp "$work/bin/trace_sh" "$tree/bin/sh"
  cp "$work/bin/pkill" "$tree/usr/bin/pkill"
  cp "$machine_dir/watchdog" "$tree/usr/sbin/watchdog"
  cp "$machine_dir/router-init" "$tree/sbin/init"
  cp "$binary" "$tree/usr/sbin/upgrader"
  cp "$work/bin/service" "$tree/usr/sbin/.service"
  local service
  for service in "${services[@]}"; do ln "$tree/usr/sbin/.service" "$tree$service"; done
  printf '%s\n' "${services[@]}" >"$tree/etc/services.list"
  echo "tmpfs /tmp/ramdisk tmpfs defaults 0 0" >"$tree/etc/fstab"
  echo 12 >"$tree/etc/board"
  printf 'root:x:0:0:root:/root:/bin/sh\n' >"$tree/etc/passwd"
  printf 'root:x:0:\n' >"$tree/etc/group"
  echo "router configuration: keep" >"$tree/etc/router.conf"
  echo "operator notes: keep" >"$tree/root/notes.txt"
  printf '2025111 09:00:00 - Upg: an earlier run\n' >"$tree/var/log/upgrade_log"
  echo "messages of today" >"$tree/var/log/messages"
  echo "system log of today" >"$tree/var/log/sys.log"
  head -c $((filler_kib * 1024)) /dev/urandom >"$tree$old_modules/kernel/drivers.ko"
}

# Builds the root disk image from a tree. Its inode tables are written here, not by the kernel in
# the background after the first mount (which would count among the bytes a run writes).
make_disk() {
  local tree=$1 image=$2 mib=$3
  rm -f "$image"
  mke2fs -q -F -t ext4 -m 0 -b 4096 -E lazy_itable_init=0,lazy_journal_init=0 -d "$tree" "$image" "${mib}M" >/dev/null
}

# Free KiB on an image's file system.
image_free_kib() {
  dumpe2fs -h "$1" 2>/dev/null | awk -F: '
    $1 == "Free blocks" { free = $2 } $1 == "Block size" { size = $2 }
    END { print int(free * size / 1024) }'
}

# The router disk, with so much in the old kernel's module directory that less than the upgrade
# needs is free at first.
make_router_disk() {
  local binary=$1 image=$2 tree=$work/router-tree free
  make_router_tree "$tree" "$binary" 0
  make_disk "$tree" "$image" "$root_disk_mib"
  free=$(image_free_kib "$image")
  make_router_tree "$tree" "$binary" $((free - free_before_mib * 1024))
  make_disk "$tree" "$image" "$root_disk_mib"
}

# A payload disk from a directory.
make_payload_disk() {
  local tree=$1 image=$2 kib
  kib=$(du -sk "$tree" | cut -f1)
  rm -f "$image"
  mke2fs -q -F -t ext4 -O ^has_journal -m 0 -b 4096 -d "$tree" "$image" "$((kib + 4096))K" >/dev/null
}

# boot DISK PAYLOAD MODE CONSOLE [CUT_AFTER]: one boot, until qemu exits (a reset, the watchdog's
# or the host's, or a power-off) or 300 s pass. With CUT_AFTER N the host resets the machine as
# soon as the console shows the Nth command line of the run, with CUT_AFTER "reboot" as soon as
# it shows the reboot command (the run has synced by then). Prints the seconds from the reboot
# command to qemu's exit, or "-".
boot() {
  local disk=$1 payload=$2 mode=$3 console=$4 cut_after=${5:-0}
  local fifo=$work/fifo.$BASHPID pid line commands=0 reboot_at= deadline
  rm -f "$fifo".{in,out} "$fifo-mon".{in,out}
  mkfifo "$fifo.in" "$fifo.out" "$fifo-mon.in" "$fifo-mon.out"
  local payload_drive=()
  [ -n "$payload" ] && payload_drive=(-drive "if=none,id=payload,format=raw,readonly=on,file=$payload"
    -device virtio-blk-device,drive=payload)
  qemu-system-arm -M virt -cpu cortex-a15 -m 256 -smp 1 -nodefaults -no-reboot -display none \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyAMA0 quiet cryptomgr.notests loglevel=4 qx.mode=$mode" \
    -chardev "pipe,id=console,path=$fifo" -serial chardev:console \
    -chardev "pipe,id=monitor,path=$fifo-mon" -mon chardev=monitor,mode=readline \
    "${payload_drive[@]}" \
    -drive "if=none,id=root,format=raw,cache=unsafe,file=$disk" -device virtio-blk-device,drive=root \
    </dev/null >"$console.qemu" 2>&1 &
  pid=$!
  cat "$fifo-mon.out" >/dev/null &
  local drain=$!
  exec 7<>"$fifo.out"  # read and write: never blocks, whether or not qemu came up
  : >"$console"
  deadline=$((SECONDS + 300))
  while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
    IFS= read -r -t 1 line <&7 || continue
    line=${line%$'\r'}
    printf '%s\n' "$line" >>"$console"
    case $line in
      "qx-cmd: watchdog /dev/watchdog -T 5")
        reboot_at=$(date +%s.%N)
        if [ "$cut_after" = reboot ]; then
          echo system_reset >"$fifo-mon.in"
          echo "qx-host: power cut after the reboot command" >>"$console"
        fi
        ;;
    esac
    if [ "${line#qx-cmd: }" != "$line" ]; then
      commands=$((commands + 1))
      if [ "$commands" = "$cut_after" ]; then
        echo system_reset >"$fifo-mon.in"
        echo "qx-host: power cut after command $commands" >>"$console"
      fi
    fi
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    echo "qx-host: no exit within 300 s" >>"$console"
  fi
  wait "$pid" || true
  while IFS= read -r -t 0.2 line <&7; do printf '%s\n' "${line%$'\r'}" >>"$console"; done
  exec 7<&-
  kill "$drain" 2>/dev/null || true
  local ended
  ended=$(date +%s.%N)
  rm -f "$fifo".{in,out} "$fifo-mon".{in,out}
  if [ -n "$reboot_at" ]; then
    awk -v a="$reboot_at" -v b="$ended" 'BEGIN { printf "%.1f\n", b - a }'
  else
    echo "-"
  fi
}
