#!/usr/bin/env bash
# The whole test suite: installs what it needs, then runs its stages: build and test the
# release and asan presets (the unit tier first; each checks that every test has a TIMEOUT),
# then every further stage in scripts/test.d/ in name order (formatting, fuzzing, the router
# build under qemu, ...).
# A failed stage does not stop the others. The closing line counts the stages that passed and
# failed and names those that failed; the exit status is 0 only when all passed.
set -uo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "test.sh: run as root: it installs packages and creates the rootless stage's user" \
    "(device-sim and the simulator's tests themselves run as an ordinary user too)" >&2
  exit 1
fi

if ! scripts/install-deps.sh; then
  echo "test.sh: 0 stages run: the packages the suite needs could not be installed" >&2
  exit 1
fi

passed=()
failed=()

# Runs "$@" as the stage $1 in a subshell that stops at its first failing command.
run_stage() {
  local name=$1
  shift
  local start=$SECONDS
  echo "=== stage: $name"
  (
    set -e
    "$@"
  )
  local status=$?
  if [ "$status" -eq 0 ]; then
    passed+=("$name")
    echo "=== $name: passed ($((SECONDS - start)) s)"
  else
    failed+=("$name")
    echo "=== $name: FAILED with status $status ($((SECONDS - start)) s)" >&2
  fi
}

preset_stage() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  # The unit tier first, built on its own and run in seconds; then the rest of the build and
  # every other test. Each test runs once.
  cmake --build --preset "$preset" --target unit_tier
  ctest --preset "$preset" -L unit
  cmake --build --preset "$preset"
  ctest --preset "$preset" -LE unit
  ctest --preset "$preset" --show-only=json-v1 >"build/$preset/ctest-tests.json"
  cmake -DJSON_FILE="build/$preset/ctest-tests.json" -P cmake/qx_check_test_timeouts.cmake
}

for preset in release asan; do
  run_stage "$preset" preset_stage "$preset"
done

# The format stage's clang-tidy keeps one core busy for two to three minutes, and the full-system
# stage's emulated machine has one CPU, which leaves the other idle: the two run side by side.
# The format stage's output is shown, and its result counted, once it has ended.
readonly beside_stage=80-system.sh beside_it=05-format.sh

# The output and status of a stage that ran in the background (run_stage runs its command in a
# subshell, which cannot wait for this shell's children: the wait comes first, here).
show_background() {
  cat "$1"
  rm -f "$1"
  return "$2"
}

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  name=$(basename "$stage")
  if [ "$name" = "$beside_it" ] && [ -e "scripts/test.d/$beside_stage" ]; then
    continue
  fi
  if [ "$name" = "$beside_stage" ] && [ -e "scripts/test.d/$beside_it" ]; then
    log=$(mktemp)
    # At the lowest priority: it takes what the other stage leaves idle, never its time.
    QX_TIDY_JOBS=1 QX_TIDY_SKIP_CONFIGURE=1 nice -n 19 bash "scripts/test.d/$beside_it" \
      >"$log" 2>&1 &
    background=$!
    run_stage "$name" bash "$stage"
    status=0
    wait "$background" || status=$?
    run_stage "$beside_it (beside $beside_stage)" show_background "$log" "$status"
    continue
  fi
  run_stage "$name" bash "$stage"
done

total=$((${#passed[@]} + ${#failed[@]}))
if [ "${#failed[@]}" -eq 0 ]; then
  echo "test.sh: all $total stages passed"
  exit 0
fi
echo "test.sh: ${#passed[@]} of $total stages passed, ${#failed[@]} failed: ${failed[*]}" >&2
exit 1
