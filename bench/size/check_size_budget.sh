#!/usr/bin/env bash
# The router's flash budget for the upgrade driver, checked on the file that ships.
#
#   check_size_budget.sh BINARY static|dynamic LIMIT_BYTES
#
# Fails when BINARY is not a stripped 32-bit ARM executable of the stated linkage, or when it
# is larger than LIMIT_BYTES. A wrong linkage or a left-over symbol table would make the size
# figure meaningless, so they fail too rather than pass a budget they never measured.
set -euo pipefail

if [ "$#" -ne 3 ]; then
  echo "usage: $0 BINARY static|dynamic LIMIT_BYTES" >&2
  exit 2
fi
binary=$1
linkage=$2
limit=$3
readelf=${READELF:-arm-linux-gnueabihf-readelf}

fail() {
  echo "size budget: $binary: $*" >&2
  exit 1
}

[ -f "$binary" ] || fail "no such file"
case "$linkage" in static | dynamic) ;; *) fail "linkage must be static or dynamic, not '$linkage'" ;; esac
[[ "$limit" =~ ^[0-9]+$ ]] || fail "limit must be a byte count, not '$limit'"

header=$("$readelf" -h "$binary" 2>/dev/null) || fail "not an ELF file"
grep -q 'Class:[[:space:]]*ELF32' <<<"$header" || fail "not a 32-bit ELF file"
grep -q 'Machine:[[:space:]]*ARM' <<<"$header" || fail "not an ARM executable"

if "$readelf" -S "$binary" | grep -q '\.symtab'; then
  fail "not stripped (has a symbol table)"
fi

if "$readelf" -l "$binary" | grep -q 'INTERP'; then
  actual=dynamic
else
  actual=static
fi
[ "$actual" = "$linkage" ] || fail "linked $actual, expected $linkage"

size=$(stat -c %s "$binary")
percent=$((size * 100 / limit))
line="$binary ($linkage): $size bytes of $limit ($percent% of the budget)"
if [ "$size" -gt "$limit" ]; then
  fail "over budget: $line"
fi
echo "size budget: $line"
