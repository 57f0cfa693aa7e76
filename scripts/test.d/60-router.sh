#!/usr/bin/env bash
# The router builds and the router's CPUs and kernel, under qemu-arm-static:
#  1. cross-builds `upgrader` for armel (ARMv5TE and later, fully static: the default package)
#     and armhf (ARMv7 with VFPv3, static and dynamic), holds each stripped binary to its flash
#     budget and makes the packages;
#  2. runs the on-device unit tests, cross-built for armel, under -cpu arm926 on the host, and
#     the cleanup's simulator suite with the armel probe under -cpu arm926 in the device;
#  3. runs the driver's end-to-end suite (every exit, the host's assertions) inside the
#     simulated router in each cell of the CPU matrix, and proves that the CPU is enforced:
#     armhf under -cpu arm926 must die with SIGILL before its first action;
#  4. holds the system calls that the driver made in those cells (qemu -r 2.6.35.3 -strace) to
#     cmake/router-syscalls.tsv;
#  5. measures the armel upgrader's peak memory under -cpu arm926.
# The emulator is copied into each simulated device and named on the command line before the
# program; no binfmt handler is ever registered on the host.
set -euo pipefail
cd "$(dirname "$0")/../.."

# Bytes of router flash the upgrader may take, stripped.
readonly armhf_dynamic_budget=$((64 * 1024))
readonly armhf_static_budget=$((640 * 1024))
readonly armel_static_budget=$((704 * 1024))
readonly qemu=/usr/bin/qemu-arm-static
readonly kernel_release=2.6.35.3
readonly traces=build/router-traces

build_router_preset() {
  local preset=$1
  local tree=build/$preset
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  rm -rf "$tree/stage" "$tree/package"
  cmake --install "$tree" --strip --prefix "$tree/stage" >/dev/null
  cpack --config "$tree/CPackConfig.cmake" -B "$tree/package" >/dev/null
  echo "router: package $(ls "$tree"/package/*.tar.gz)"
}

elapsed_since() { echo $(($(date +%s) - $1)); }
stage_start=$(date +%s)

# --- 1. builds, budgets, packages
build_router_preset armel-static
build_router_preset armhf-static
build_router_preset armhf-release
bench/size/check_size_budget.sh build/armel-static/stage/sbin/upgrader static \
  "$armel_static_budget"
bench/size/check_size_budget.sh build/armhf-static/stage/sbin/upgrader static "$armhf_static_budget"
bench/size/check_size_budget.sh build/armhf-release/stage/sbin/upgrader dynamic \
  "$armhf_dynamic_budget"
readonly armel=$PWD/build/armel-static/stage/sbin/upgrader
readonly armhf=$PWD/build/armhf-static/stage/sbin/upgrader

# The host build holds the simulator and the host-side suites; scripts/test.sh has built it
# already, and this is then a no-op.
cmake --preset release >/dev/null
cmake --build --preset release --target driver_upgrade_run_test cleanup_device_test \
  qx_peak_memory device-sim
readonly e2e=build/release/tests/driver/driver_upgrade_run_test
readonly cleanup_suite=build/release/tests/cleanup/cleanup_device_test

# --- 2. the on-device unit tests on the router's ABI and oldest core
start=$(date +%s)
cmake --build --preset armel-static-tests
ctest --preset armel-static
echo "router: cleanup simulator suite, armel probe under $qemu -cpu arm926"
QX_CLEANUP_PROBE=$PWD/build/armel-static/cleanup_probe QX_PROBE_LAUNCHER=$qemu \
  QX_PROBE_LAUNCHER_ARGS="-cpu arm926" "$cleanup_suite" --gtest_brief=1
echo "router: unit tests on armel, built and run in $(elapsed_since "$start") s"

# --- 3. the CPU matrix
rm -rf "$traces"
mkdir -p "$traces"
run_cell() {
  local preset=$1 cpu=$2
  local name=${preset%-static}-$cpu upgrader=$PWD/build/$1/stage/sbin/upgrader cell_start
  cell_start=$(date +%s)
  echo "router: cell $name: end-to-end suite, $preset under $qemu -cpu $cpu"
  QX_UPGRADER=$upgrader QX_UPGRADER_LAUNCHER=$qemu \
    QX_UPGRADER_LAUNCHER_ARGS="-cpu $cpu -r $kernel_release -strace" \
    QX_UPGRADER_OUTPUT=$PWD/$traces/$name.strace "$e2e" --gtest_brief=1
  echo "router: cell $name passed in $(elapsed_since "$cell_start") s"
}
run_cell armel-static arm926
run_cell armel-static cortex-a8
run_cell armhf-static cortex-a8

# The negative cell: without it the matrix could pass by ignoring the CPU option. The armhf
# upgrader, started on an ARMv5 core with everything it needs for a run, must die of SIGILL
# before its first shell command (its first action moves the log).
echo "router: cell armhf-arm926: armhf-static under $qemu -cpu arm926 must die of SIGILL"
set +e
report=$(build/release/sim/device-sim run --copy "$qemu:/usr/bin/qemu-arm-static" \
  --copy "$armhf:/usr/bin/upgrader" -- /usr/bin/qemu-arm-static -cpu arm926 /usr/bin/upgrader \
  /tmp/wdprog 2>&1)
status=$?
set -e
if [ "$status" -ne $((128 + 4)) ] || ! grep -q '^--- killed by SIGILL' <<<"$report" ||
  ! grep -q '^--- trace (0 command lines' <<<"$report"; then
  echo "$report" >&2
  echo "router: armhf-static under -cpu arm926 did not die of SIGILL before its first action" \
    "(status $status): the CPU option is not enforced" >&2
  exit 1
fi
echo "router: cell armhf-arm926 died of SIGILL before its first action, as it must"

# --- 4. the system-call contract with the router's kernel
tests/kernel/check_syscalls.sh --binary "$armel" --binary "$armhf" "$traces"/*.strace

# --- 5. memory
echo "router: peak resident memory, armel under -cpu arm926"
build/release/bench/size/qx_peak_memory "$armel" "$qemu" -cpu arm926
echo "router: stage done in $(elapsed_since "$stage_start") s"
