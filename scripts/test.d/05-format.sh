#!/usr/bin/env bash
# Formatting: every C++ source and header in the repository as .clang-format lays it out.
# The files are the ones git tracks (scripts/install-deps.sh installs git); a tree that is not a
# git checkout (an unpacked archive) is checked file by file, build trees left out.
set -euo pipefail
cd "$(dirname "$0")/../.."
if git -c safe.directory="$PWD" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -c safe.directory="$PWD" ls-files -z '*.cpp' '*.h'
else
  find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0
fi | xargs -0 clang-format --dry-run --Werror
echo "05-format: all sources formatted"
