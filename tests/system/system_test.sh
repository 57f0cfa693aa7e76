#!/usr/bin/env bash
# The router as a real Linux system: the stripped armel-static upgrader of the router package,
# on an emulated ARM machine with a real kernel, watchdog, block device and page cache.
#  1. Exits E7 (with a cleanup that removes files), E2, E5 and E1, each with and without the
#     old-kernel launcher (the system calls that 2.6.35 lacks answer ENOSYS): each must end in a
#     real watchdog reset, E7 4 to 8 s after the reboot command; a second boot replays the
#     disk's journal, then e2fsck -fn must find it clean, the upgrade log must be on it with the
#     whole run, and nothing but what the cleanup names may be gone.
#  2. Which refused calls the upgrader made: the E7 run on the 2.6.35 surface runs under an armel
#     strace inside the machine.
#  3. Figures: the upgrader's peak memory (VmHWM) for 1 MB (the E7 run on the real kernel runs
#     under the memory probe) and 20 MB upgrades and for the largest count of 1-byte inner files
#     that fits the 25 MiB ramdisk, the bytes one E7 run writes to the root disk, and the run's
#     time inside the machine.
#  4. Power cuts: the machine is reset right after the Nth command line of a run, at moments
#     spread over the whole run; after each the disk must check clean (journal replay allowed),
#     nothing outside the removal lists may be lost, the upgrade-started marker must be on the
#     disk if the cut came after it was made and before the validator passed, and the next
#     upgrade on that disk must reach E7.
# QX_SYSTEM_CUTS sets the number of power-cut moments (default 20); QX_SYSTEM_PARTS the parts to
# run ("exits syscalls figures cuts"; syscalls and figures read runs of exits); QX_SYSTEM_EXITS
# the exit scenarios (all eight: e7, e2, e5, e1, each also with -old-kernel).
set -euo pipefail
cd "$(dirname "$0")/../.."
source sim/machine/machine.sh
source tests/system/upgrades.sh
source tests/system/checks.sh

readonly cuts=${QX_SYSTEM_CUTS:-20}
readonly parts=${QX_SYSTEM_PARTS:-exits syscalls figures cuts}
readonly upgrader=$work/package/sbin/upgrader
readonly template=$work/router.img

# The armel strace of the payload disk, tracing the upgrader alone (not the commands it runs):
# fstatat64 and the refused calls, into a file that the scenario prints once the run has ended.
strace_command() {
  local calls
  calls=$(sed 's/.*"\(.*\)".*/?\1/' "$work/refused_syscalls.h" | paste -sd, -)
  echo "/mnt/payload/bin/lib/ld-linux.so.3 --library-path /mnt/payload/bin/lib" \
    "/mnt/payload/bin/strace -qq -o /dev/qx-strace -e trace=fstatat64,$calls"
}
stage_start=$SECONDS

# --- builds: the router package's upgrader, udtool, the unit's own programs, the images
check_deps
cmake --preset armel-static >/dev/null
cmake --build --preset armel-static
cmake --preset release >/dev/null
cmake --build --preset release --target udtool
mkdir -p "$work"
rm -rf "$work/package"
cmake --install build/armel-static --strip --prefix "$work/package" >/dev/null
build_programs
build_payload_programs
make_initramfs
make_router_disk "$upgrader" "$template"
make_manifest "$work/router-tree" >"$work/router.manifest"
echo "system: router disk ${root_disk_mib} MiB, $(($(image_free_kib "$template") / 1024)) MiB free" \
  "before the upgrade; upgrader $(stat -c %s "$upgrader") bytes"

make_upgrade "$work/e7-1mb.bin" 1000000
make_damaged_upgrade "$work/e5.bin"
rm -f "$work"/*.result

# run_exit NAME EXIT LAUNCHER PAYLOAD_ARGS...: one scenario on a fresh disk, its watchdog reset
# and the checking boot. Leaves the replayed disk at $work/NAME.img, its tree at $work/NAME.tree.
run_exit() {
  local name=$1 exit=$2 launcher=$3 delay
  shift 3
  make_payload "$work/$name.payload" "$@" "launcher=$launcher"
  cp --sparse=always "$template" "$work/$name.img"
  delay=$(boot "$work/$name.img" "$work/$name.payload" run "$work/$name.console")
  grep -q 'softdog: Initiating system reboot' "$work/$name.console" ||
    fail "$name: no watchdog reset (console: $work/$name.console)"
  [ "$delay" != - ] || fail "$name: no reboot command on the console"
  boot "$work/$name.img" "" check "$work/$name.check" >/dev/null
  grep -q '^qx-check: unmounted' "$work/$name.check" || fail "$name: the checking boot failed"
  check_clean "$work/$name.img" "$name"
  dump_tree "$work/$name.img" "$work/$name.tree"
  check_nothing_lost "$work/$name.tree" "$name"
  check_exit_log "$work/$name.tree" "$exit" "$name"
  echo "$delay"
}

# exit_scenario NAME: one of the exits, on the 2.6.35 call surface when NAME ends in -old-kernel;
# writes its report line to $work/NAME.result.
exit_scenario() {
  local name=$1 exit launcher="" delay surface=""
  exit=${name%%-*}
  exit=${exit^^}
  if [[ "$name" == *-old-kernel ]]; then
    launcher=/mnt/payload/bin/qx-old-kernel
    surface=" on the 2.6.35 call surface"
  fi
  # E7 runs measured on the real kernel, and under strace on the 2.6.35 surface (see figures and
  # syscall_report).
  [ "$name" = e7 ] && launcher="/mnt/payload/bin/qx-peak-rss /dev/qx-peak"
  [ "$name" = e7-old-kernel ] && launcher="$launcher $(strace_command)"
  case $exit in
    E7) delay=$(run_exit "$name" E7 "$launcher" "$work/e7-1mb.bin") ;;
    E2) delay=$(run_exit "$name" E2 "$launcher" "$work/e7-1mb.bin" board=13) ;;
    E5) delay=$(run_exit "$name" E5 "$launcher" "$work/e5.bin") ;;
    E1) delay=$(run_exit "$name" E1 "$launcher" "$work/e7-1mb.bin" arguments=) ;;
  esac
  if [ "$exit" = E7 ]; then
    awk -v d="$delay" 'BEGIN { exit !(d >= 4 && d <= 8) }' ||
      fail "$name: the watchdog reset came $delay s after the reboot command, not 4 to 8 s"
    check_upgraded "$work/$name.tree" "$name"
  fi
  echo "system: $exit$surface: watchdog reset $delay s after the reboot command; disk clean," \
    "log complete, nothing lost" >"$work/$name.result"
}

# Each exit with and without the old-kernel launcher, two machines at a time.
exit_scenarios() {
  local names=(${QX_SYSTEM_EXITS:-e7 e7-old-kernel e2 e2-old-kernel e5 e5-old-kernel e1 e1-old-kernel})
  local worker pids=()
  local failed=0 i name
  for worker in 0 1; do
    (for ((i = worker; i < ${#names[@]}; i += 2)); do exit_scenario "${names[i]}"; done) &
    pids+=($!)
  done
  for worker in "${pids[@]}"; do wait "$worker" || failed=1; done
  for name in "${names[@]}"; do [ ! -f "$work/$name.result" ] || cat "$work/$name.result"; done
  [ "$failed" -eq 0 ] || fail "exits: a scenario failed (above)"
}

# The E7 run on the 2.6.35 call surface ran under an armel strace in the machine (started by the
# launcher, so the filter's EINVAL still goes to the upgrader alone): which refused calls it made,
# and whether compat's /proc/self/fd fallback ran after 2.6.35's EINVAL.
syscall_report() {
  local name=e7-old-kernel traced
  [ -s "$work/$name.console" ] || fail "syscalls: no run $name (part exits) to read"
  traced=$(awk '
    { sub(/^qx-strace: /, "") }
    /^[a-z0-9_]+\(.*\) += -1 (ENOSYS|EINVAL)/ {
      call = substr($0, 1, index($0, "(") - 1)
      if (call == "fstatat64" && /AT_EMPTY_PATH/) call = "fstatat64 with AT_EMPTY_PATH (EINVAL)"
      ++count[call] }
    /^fstatat64\(AT_FDCWD, "\/proc\/self\/fd\/[0-9]+", \{/ { ++count["compat: fstatat64 of /proc/self/fd/N"] }
    END { for (c in count) printf "%s (%d)\n", c, count[c] }' "$work/$name.console" | sort)
  [ -n "$traced" ] || fail "$name: the trace shows no refused call of the upgrader"
  grep -q '^compat: ' <<<"$traced" ||
    fail "$name: compat's /proc/self/fd fallback never ran after 2.6.35's EINVAL"
  echo "system: refused calls the upgrader made on the 2.6.35 call surface, and still reached E7:"
  sed 's/^/system:   /' <<<"$traced"
}

# One power-cut moment: a fresh disk, a run cut right after its Nth command line, then the
# checks and the next upgrade on the same disk (cut once it has synced and issued its reboot
# command; the watchdog resets themselves are proven by the exits above).
cut_at() {
  local n=$1 marker_from=$2 marker_until=$3 base=$work/cut-$1
  cp --sparse=always "$template" "$base.img"
  boot "$base.img" "$work/cut.payload" run "$base.console" "$n" >/dev/null
  grep -q "^qx-host: power cut after command $n\$" "$base.console" ||
    fail "cut $n: the run ended before its command $n (console: $base.console)"
  replay_and_check "$base.img" "$base.replayed" "cut $n"
  dump_tree "$base.replayed" "$base.tree"
  check_nothing_lost "$base.tree" "cut $n"
  if [ "$n" -ge "$marker_from" ] && [ "$n" -lt "$marker_until" ]; then
    [ -f "$base.tree/etc/upgrade_started" ] ||
      fail "cut $n: the upgrade-started marker, made before the cut, is not on the disk"
  fi
  boot "$base.img" "$work/cut.payload" run "$base.next.console" reboot >/dev/null
  grep -q '^qx-host: power cut after the reboot command' "$base.next.console" ||
    fail "cut $n: the next upgrade did not reach its reboot command (console: $base.next.console)"
  replay_and_check "$base.img" "$base.replayed" "cut $n, next upgrade"
  dump_tree "$base.replayed" "$base.tree"
  check_nothing_lost "$base.tree" "cut $n, next upgrade"
  check_exit_log "$base.tree" E7 "cut $n, next upgrade" after-cut
  check_upgraded "$base.tree" "cut $n, next upgrade"
  rm -rf "$base.img" "$base.replayed" "$base.tree"
}

# The moments: spread evenly over the command lines of one whole E7 run (the first to the
# reboot command), two machines at a time.
power_cuts() {
  local reference=$work/e7.console commands total marker_from marker_until i
  [ -s "$reference" ] || run_exit e7 E7 "" "$work/e7-1mb.bin" >/dev/null
  commands=$(grep '^qx-cmd: ' "$reference" | sed 's/^qx-cmd: //')
  total=$(wc -l <<<"$commands")
  marker_from=$(($(grep -n -m 1 -x 'touch /tmp/ramdisk/vlk-wait-during-startup' <<<"$commands" |
    cut -d: -f1) + 1))
  marker_until=$(grep -n -m 1 -x 'rm /etc/upgrade_started' <<<"$commands" | cut -d: -f1)
  make_payload "$work/cut.payload" "$work/e7-1mb.bin"
  local moments=()
  for ((i = 0; i < cuts; ++i)); do
    moments+=($((1 + (i * (total - 1) + (cuts - 1) / 2) / (cuts - 1))))
  done
  local worker pids=() failed=0
  for worker in 0 1; do
    (
      for ((i = worker; i < ${#moments[@]}; i += 2)); do cut_at "${moments[i]}" "$marker_from" \
        "$marker_until"; done
    ) &
    pids+=($!)
  done
  for worker in "${pids[@]}"; do wait "$worker" || failed=1; done
  [ "$failed" -eq 0 ] || fail "power cuts: a moment failed (above)"
  echo "system: power cuts: ${#moments[@]} of ${#moments[@]} moments passed, after commands" \
    "${moments[*]} of the run's $total"
}

# figure NAME UPGRADE_FILE: one run under the memory probe on a fresh disk, to its watchdog reset.
# Prints "PEAK_KIB WRITTEN_BYTES RUN_MS EXIT_STATUS".
# figure_of CONSOLE: "PEAK_KIB WRITTEN_BYTES RUN_MS EXIT_STATUS" of a run under the memory probe.
figure_of() {
  awk '
    /^qx-run: peak / { peak = $3 }
    /^qx-run: written / { written = $3 * 512 }
    /^qx-run: exit / { status = $3; ms = $5 }
    END { if (peak == "" || written == "" || ms == "") exit 1; print peak, written, ms, status }
  ' "$1" || fail "no figures on the console $1"
}

# figure_run NAME UPGRADE_FILE: one run under the memory probe on a fresh disk, to its watchdog
# reset; the disk is left replayed in $work/NAME.tree.
figure_run() {
  local name=$1 upgrade=$2
  make_payload "$work/$name.payload" "$upgrade" "launcher=/mnt/payload/bin/qx-peak-rss /dev/qx-peak"
  cp --sparse=always "$template" "$work/$name.img"
  boot "$work/$name.img" "$work/$name.payload" run "$work/$name.console" >/dev/null
  grep -q 'softdog: Initiating system reboot' "$work/$name.console" || fail "$name: no watchdog reset"
  replay_and_check "$work/$name.img" "$work/$name.replayed" "$name"
  dump_tree "$work/$name.replayed" "$work/$name.tree"
}

# The 1 MB figures come from the E7 exit run (part exits); the 20 MB upgrade and the largest
# count of inner files that fits the 25 MiB ramdisk run here, two machines at once.
figures() {
  local peak written ms status floor count_1 pids=() worker failed=0
  [ -s "$work/e7.console" ] || fail "figures: no run e7 (part exits) to read"
  read -r peak written ms status < <(figure_of "$work/e7.console")
  # The floor: the three extracted inner files, written once under /tmp/, and the log.
  floor=$("$udtool" info --json "$work/e7-1mb.bin" | awk -v log_bytes="$(stat -c %s \
    "$work/e7.tree/var/log/upgrade_log")" '
    /"index": [234],/ { match($0, /"data_size": [0-9]+/); sum += substr($0, RSTART + 13, RLENGTH - 13) }
    END { print sum + log_bytes }')
  echo "system: figure: E7, 1 MB upgrade: peak $peak KiB (VmHWM), $written bytes written to the" \
    "root disk (floor $floor: the extracted files through /tmp/ and the log), run $ms ms in the machine"
  make_upgrade "$work/e7-20mb.bin" 20000000
  # Inner files of one byte each: the reader walks and records every one (with empty ones the data
  # sizes meet the total after the first, where the walk stops).
  count_1=$(make_many_members "$work/many-1.bin" $((25 * 1024 * 1024)) x)
  (figure_run fig-many-1 "$work/many-1.bin") &  # the longest run: alone on one machine
  pids+=($!)
  (figure_run fig-e7-20mb "$work/e7-20mb.bin") &
  pids+=($!)
  for worker in "${pids[@]}"; do wait "$worker" || failed=1; done
  [ "$failed" -eq 0 ] || fail "figures: a run failed (above)"
  read -r peak written ms status < <(figure_of "$work/fig-e7-20mb.console")
  echo "system: figure: E7, 20 MB upgrade: peak $peak KiB (VmHWM), $written bytes written," \
    "run $ms ms in the machine"
  read -r peak written ms status < <(figure_of "$work/fig-many-1.console")
  echo "system: figure: $count_1 inner files of 1 byte ($(stat -c %s "$work/many-1.bin") bytes):" \
    "peak $peak KiB (VmHWM), exit status $status, run $ms ms;" \
    "the log ends: $(log_messages "$work/fig-many-1.tree" | grep -v '^$' | tail -n 1)"
}

# --- main
for part in $parts; do
  part_start=$SECONDS
  case $part in
    exits) exit_scenarios ;;
    syscalls) syscall_report ;;
    cuts) power_cuts ;;
    figures) figures ;;
    *) fail "unknown part $part" ;;
  esac
  echo "system: $part done in $((SECONDS - part_start)) s"
done
echo "system: stage done in $((SECONDS - stage_start)) s"
