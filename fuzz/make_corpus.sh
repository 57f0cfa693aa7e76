#!/usr/bin/env bash
# Regenerates the checked-in seed corpora with udtool: small valid upgrade files, and their
# first upgrade file header and inner file header as header seeds.
#   usage: fuzz/make_corpus.sh [UDTOOL]   (default: build/release/tools/udtool)
set -euo pipefail
cd "$(dirname "$0")/.."
udtool="${1:-build/release/tools/udtool}"
corpus=fuzz/corpus
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

printf 'v' >"$work/one"
printf '%s' 'validator payload' >"$work/two"
: >"$work/empty"
head -c 1025 /dev/zero | tr '\0' 'k' >"$work/kernel"
printf '%s' 'db' >"$work/db"

rm -rf "$corpus"
mkdir -p "$corpus/upgrade_file" "$corpus/upgrade_header" "$corpus/inner_header"
"$udtool" create -o "$corpus/upgrade_file/one_inner_file" --upgrade-version 1 \
  --upgrade-name "seed" "$work/one"
"$udtool" create -o "$corpus/upgrade_file/five_inner_files" --upgrade-version 0x0102 \
  --upgrade-name "KV70 upgrade" --release-name "R7.1" --file-date 20240315 --upgrade-id 42 \
  --aux-text1 a1 --aux-text2 a2 --aux-word 7 "$work/one=first" "$work/empty=second" \
  --aux1 1 --aux2 2 "$work/two=fs-validator" "$work/kernel=kernel_image" "$work/db=filesystem.db"
"$udtool" create -o "$corpus/upgrade_file/empty_inner_file" "$work/empty=nothing"
cp "$corpus/upgrade_file/one_inner_file" "$corpus/upgrade_file/trailing_bytes"
printf 'trailing bytes covered by no digest' >>"$corpus/upgrade_file/trailing_bytes"

for seed in one_inner_file five_inner_files; do
  head -c 128 "$corpus/upgrade_file/$seed" >"$corpus/upgrade_header/$seed"
  tail -c +129 "$corpus/upgrade_file/$seed" | head -c 128 >"$corpus/inner_header/$seed"
done
echo "seeds written to $corpus"
