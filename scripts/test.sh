#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds and runs the unit and end-to-end tests
# in the release and asan presets, then every further stage in scripts/test.d/ in name order
# (fuzzing, the router build under qemu, ...). Stops at the first failing stage.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "test.sh: run as root: the simulated router needs Linux namespaces and mounts" >&2
  exit 1
fi

scripts/install-deps.sh

passed=0
for preset in release asan; do
  echo "=== build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  passed=$((passed + 1))
done

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "=== stage: $(basename "$stage")"
  bash "$stage"
  passed=$((passed + 1))
done

echo "stages: $passed passed, 0 failed"
