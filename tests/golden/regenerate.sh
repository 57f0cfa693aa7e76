#!/usr/bin/env bash
# Rewrites tests/golden/e7_run.txt from a fresh reference run (the end-to-end E7 test, run under
# strace with $QX_GOLDEN_RUN_OUT set). The header and phase lines stay as they are; each item keeps
# the phase of the item it replaces, and a new item takes the phase of the item before it. Review
# the diff by hand (git diff tests/golden), the phases of new items above all, before committing.
set -euo pipefail
cd "$(dirname "$0")/../.."
golden=tests/golden/e7_run.txt

cmake --preset release >/dev/null
cmake --build --preset release --target driver_upgrade_run_test
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QX_GOLDEN_RUN_OUT=$work/run build/release/tests/driver/driver_upgrade_run_test \
  --gtest_filter=UpgradeExitTest.E7ValidatedUpgradeIsStagedAndTheMarkerCleared >"$work/test.out" ||
  { cat "$work/test.out"; exit 1; }

grep -E '^(#|phase |begins |$)' "$golden" >"$work/header" || true
grep -vE '^(#|phase |begins |$)' "$golden" >"$work/items" || true
cut -d' ' -f2- "$work/items" >"$work/old"
# U: unchanged, O: only in the old file, N: new; the old phases are taken in order.
{ diff --unchanged-line-format='U%L' --old-line-format='O%L' --new-line-format='N%L' \
  "$work/old" "$work/run" || [ "$?" -eq 1 ]; } |
  awk -v items="$work/items" '
    BEGIN { while ((getline line < items) > 0) { split(line, f, " "); phase[++n] = f[1] } last = "E1" }
    /^U/ { last = phase[++i]; print last " " substr($0, 2); next }
    /^O/ { ++i; next }
    /^N/ { print last " " substr($0, 2) }' >"$work/tagged"
cat "$work/header" "$work/tagged" >"$golden"
git --no-pager diff --stat -- "$golden"
