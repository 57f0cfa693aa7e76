#!/usr/bin/env bash
# The router build: cross-builds `upgrader` for armhf, dynamically linked and fully static,
# holds both stripped binaries to the flash budget, packages them, and runs the driver's
# end-to-end suite against the static one under qemu-arm-static inside the simulated router.
# The emulator is copied into each simulated device and named on the command line before the
# upgrader; no binfmt handler is ever registered on the host.
set -euo pipefail
cd "$(dirname "$0")/../.."

# Bytes of router flash the upgrader may take, stripped.
readonly dynamic_budget=$((64 * 1024))
readonly static_budget=$((640 * 1024))
readonly qemu=/usr/bin/qemu-arm-static

build_router_preset() {
  local preset=$1
  local tree=build/$preset
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  rm -rf "$tree/stage" "$tree/package"
  cmake --install "$tree" --strip --prefix "$tree/stage" >/dev/null
  cpack --config "$tree/CPackConfig.cmake" -B "$tree/package" >/dev/null
  echo "armhf: package $(ls "$tree"/package/*.tar.gz)"
}

build_router_preset armhf-release
build_router_preset armhf-static
tests/size/check_size_budget.sh build/armhf-release/stage/sbin/upgrader dynamic "$dynamic_budget"
tests/size/check_size_budget.sh build/armhf-static/stage/sbin/upgrader static "$static_budget"

# The driver's end-to-end suite and the memory figures need the host build (the simulator,
# udtool's writer, the test programs); scripts/test.sh has built it already, and this is then a
# no-op.
cmake --preset release >/dev/null
cmake --build --preset release --target driver_upgrade_run_test qx_peak_memory
readonly upgrader=$PWD/build/armhf-static/stage/sbin/upgrader
suite=build/release/tests/driver/driver_upgrade_run_test
[ -x "$suite" ] || { echo "armhf: the end-to-end suite $suite was not built" >&2; exit 1; }

echo "armhf: end-to-end suite, static upgrader under $qemu"
QX_UPGRADER=$upgrader QX_UPGRADER_LAUNCHER=$qemu "$suite" --gtest_brief=1

echo "armhf: peak resident memory"
build/release/tests/size/qx_peak_memory "$upgrader" "$qemu"
