#!/usr/bin/env bash
# Formatting and lint: every C++ source and header in the repository as .clang-format lays it
# out, then clang-tidy (.clang-tidy at the root) over every source the release preset compiles.
# The files are the ones git tracks (scripts/install-deps.sh installs git); a tree that is not a
# git checkout (an unpacked archive) is checked file by file, build trees left out.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd -P)

in_git() { git -c safe.directory="$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; }

if in_git; then
  git -c safe.directory="$root" ls-files -z '*.cpp' '*.h'
else
  find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0
fi | xargs -0 clang-format --dry-run --Werror
echo "05-format: all sources formatted"

# The release preset's compile commands name every source it builds with its flags. Configuring
# again is quick and keeps them in step with the tree (a source added, moved or removed); no
# header is generated, so nothing needs building. The fuzzers build only in the fuzz preset and
# are left out.
# test.sh, which configured the release preset in its first stage, sets QX_TIDY_SKIP_CONFIGURE:
# it runs this stage beside one that may configure the same tree. The database is read from a
# copy, so that such a configure cannot change it under clang-tidy.
if [ -z "${QX_TIDY_SKIP_CONFIGURE:-}" ]; then
  cmake --preset release >/dev/null
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp build/release/compile_commands.json "$scratch/"
database=$scratch/compile_commands.json

# CMake writes each entry's "file" on a line of its own. Sources of our own tree only: none from
# a build tree, and in a git checkout only tracked ones (a scratch file is not held to this).
sources=$(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$database" | grep "^$root/" |
  grep -v "^$root/build/" | sed "s|^$root/||" | sort -u)
if in_git; then
  sources=$(comm -12 <(echo "$sources") <(git -c safe.directory="$root" ls-files '*.cpp' | sort))
fi
if [ -z "$sources" ]; then
  echo "05-format: no sources found in $database" >&2
  exit 1
fi

# Two at a time (QX_TIDY_JOBS; test.sh runs this stage beside another with one): the machine's
# cores are shared. clang-tidy's own chatter ("N warnings generated") is dropped; its findings
# and errors are kept.
log=$scratch/clang-tidy.log
status=0
echo "$sources" | xargs -d '\n' -n 1 -P "${QX_TIDY_JOBS:-2}" clang-tidy -p "$scratch" --quiet \
  >"$log" 2>&1 || status=$?
files=$(echo "$sources" | wc -l)
findings=$(grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' "$log" | sort -u | wc -l || true)
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
  # A header's finding comes once from every source that includes it: each shown once.
  awk 'BEGIN { show = 1 }
       /^[0-9]+ (warning|error)s? (and [0-9]+ (warning|error)s? )?generated\.$/ { next }
       /^[^ ].*:[0-9]+:[0-9]+: (warning|error): / { show = !seen[$0]++ }
       /^Error while processing / { show = 1 }
       show' "$log" >&2
  echo "05-format: clang-tidy: $findings finding(s) in $files sources (exit status $status)" >&2
  exit 1
fi
echo "05-format: clang-tidy: no findings in $files sources"
