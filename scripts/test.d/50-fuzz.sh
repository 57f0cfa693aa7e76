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
for entry in "${targets[@]}"; do
  IFS=: read -r target corpus max_len <<<"$entry"
  work="fuzz/corpus-work/$corpus"
  mkdir -p "$work"
  echo "--- $target: ${seconds}s"
  # The fresh corpus directory comes first: new inputs go there, the seeds stay untouched.
  if ! "build/fuzz/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=fuzz/artifacts/"$target"- \
      "$work" "fuzz/corpus/$corpus" >"fuzz/artifacts/$target.log" 2>&1; then
    tail -n 60 "fuzz/artifacts/$target.log"
    echo "50-fuzz: $target failed (log and input in fuzz/artifacts/)" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "fuzz/artifacts/$target.log" || true
done
echo "50-fuzz: all targets ran clean"
