#!/usr/bin/env bash
# Fuzzing stage: builds the libFuzzer targets (fuzz preset: clang, ASan, UBSan) and runs each
# for a bounded time from its checked-in seed corpus. Any crash, leak, sanitizer report or
# broken property fails the stage; the input that did it is kept in fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${QX_FUZZ_SECONDS:-20}"
# target:corpus:max_len
targets=(
  "upgrade_header_fuzzer:upgrade_header:256"
  "inner_header_fuzzer:inner_header:256"
  "upgrade_file_fuzzer:upgrade_file:4096"
)

cmake --preset fuzz >/dev/null
names=()
for entry in "${targets[@]}"; do names+=("${entry%%:*}"); done
cmake --build --preset fuzz --target "${names[@]}"

mkdir -p fuzz/artifacts
# libFuzzer ends a timed run without the targets' exit handlers, so their private extraction
# directories would stay behind: give them a scratch TMPDIR of their own and remove it here.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
# One target's timed run; its log in fuzz/artifacts/TARGET.log.
fuzz_one() {
  local target=$1 corpus=$2 max_len=$3
  local work="fuzz/corpus-work/$corpus"
  mkdir -p "$work"
  # The fresh corpus directory comes first: new inputs go there, the seeds stay untouched.
  "build/fuzz/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=fuzz/artifacts/"$target"- \
    "$work" "fuzz/corpus/$corpus" >"fuzz/artifacts/$target.log" 2>&1
}

# Two targets at a time, one a core: each still runs its full time on a core of its own.
failed=()
pids=()
names=()
finish() {
  local i
  for i in "${!pids[@]}"; do
    if ! wait "${pids[$i]}"; then
      tail -n 60 "fuzz/artifacts/${names[$i]}.log"
      failed+=("${names[$i]}")
    fi
    grep -E '^stat::number_of_executed_units|^Done' "fuzz/artifacts/${names[$i]}.log" || true
  done
  pids=()
  names=()
}
for entry in "${targets[@]}"; do
  IFS=: read -r target corpus max_len <<<"$entry"
  echo "--- $target: ${seconds}s"
  fuzz_one "$target" "$corpus" "$max_len" &
  pids+=($!)
  names+=("$target")
  if [ "${#pids[@]}" -eq 2 ]; then finish; fi
done
finish
if [ "${#failed[@]}" -ne 0 ]; then
  echo "50-fuzz: ${failed[*]} failed (logs and inputs in fuzz/artifacts/)" >&2
  exit 1
fi
echo "50-fuzz: all targets ran clean"
