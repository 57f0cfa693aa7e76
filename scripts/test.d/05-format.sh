#!/usr/bin/env bash
# Formatting: every C++ source and header in the repository as .clang-format lays it out.
set -euo pipefail
cd "$(dirname "$0")/../.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "05-format: all sources formatted"
