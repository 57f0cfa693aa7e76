#!/usr/bin/env bash
# The system-call contract of the router's upgrader with the router's kernel, Linux 2.6.35.
#
#   check_syscalls.sh [--binary UPGRADER]... TRACE...
#   check_syscalls.sh --update TRACE...
#
# TRACE is the output of upgrader runs under `qemu-arm-static -strace` (the end-to-end suite
# writes it with QX_UPGRADER_OUTPUT; "=== run: NAME" lines name the runs). Every call the
# driver process made is looked up in cmake/router-syscalls.tsv. The check fails when a
# call is not in the table, when a call newer than 2.6.35 has no fallback there, when a release
# is not filled in, or when the list in README.md is not the table's. --binary also fails an
# ARM binary that calls the kernel's cmpxchg64 user helper (Linux 3.1), which the emulator
# serves without a trace line.
#
# --update adds the calls that the table lacks (the release from syscalls(2) where the manual
# is installed, else "?"; a fallback still has to be written by hand) and rewrites README.md's
# list from the table. Rows that the traces do not show are kept, and named.
set -euo pipefail
export LC_ALL=C  # one order of names (sort) everywhere

here=$(cd "$(dirname "$0")" && pwd)
table=${QX_SYSCALL_TABLE:-$here/../../cmake/router-syscalls.tsv}
readme=${QX_SYSCALL_README:-$here/../../README.md}
unistd=${QX_ARM_UNISTD:-/usr/arm-linux-gnueabi/include/asm/unistd-eabi.h}
manual=${QX_SYSCALL_MANUAL:-/usr/share/man/man2/syscalls.2.gz}
objdump=${OBJDUMP:-arm-linux-gnueabi-objdump}
readonly router_kernel=2.6.35
readonly begin_mark='<!-- system calls: made from cmake/router-syscalls.tsv by tests/kernel/check_syscalls.sh --update -->'
readonly end_mark='<!-- end of system calls -->'

usage() {
  echo "usage: $0 [--binary UPGRADER]... TRACE... | $0 --update TRACE..." >&2
  exit 2
}

update=0
binaries=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --update) update=1; shift ;;
    --binary) [ "$#" -ge 2 ] || usage; binaries+=("$2"); shift 2 ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ "$#" -ge 1 ] || usage
for trace in "$@"; do
  [ -s "$trace" ] || { echo "syscalls: no trace in $trace" >&2; exit 1; }
done
[ -r "$unistd" ] || {
  echo "syscalls: no ARM system call numbers in $unistd (linux-libc-dev-armel-cross)" >&2
  exit 1
}

# name<TAB>count<TAB>first run, one line per call seen (CALL/FLAG for a form that the table
# lists), from the trace lines "PID name(arguments) = result". A parent and the child it forks
# write to one stream, so a line can hold the ends of several calls: a "PID name(" further on
# in a line counts when the name is one of ARM's system calls, one at the start of a line
# always. "Unknown syscall N" is named by its ARM number.
seen_calls() {
  awk -v unistd="$unistd" -v table="$table" '
    BEGIN {
      while ((getline line < unistd) > 0) {
        if (line ~ /^#define __NR_[a-z0-9_]+ \(__NR_SYSCALL_BASE ?\+ ?[0-9]+\)/) {
          split(line, words, /[ ()+]+/)
          name = substr(words[2], 6)
          known[name] = 1
          by_number[words[4]] = name
        }
      }
      while ((getline line < table) > 0) {
        if (line ~ /^#/ || line == "") continue
        split(line, cols, "\t")
        if (index(cols[1], "/")) { split(cols[1], form, "/"); flags[form[1]] = flags[form[1]] " " form[2] }
      }
    }
    function note(call, args, certain,    n, i, list) {
      if (!(call in known) && !certain) return
      if (call in flags) {
        n = split(flags[call], list, " ")
        for (i = 1; i <= n; ++i) if (index(args, list[i])) { call = call "/" list[i]; break }
      }
      if (!(call in count)) first[call] = run
      ++count[call]
    }
    FNR == 1 { run = FILENAME }
    /^=== run: / { run = substr($0, 10); next }
    {
      line = $0
      certain = 1
      while (match(line, /[0-9]+ [a-z_][a-z0-9_]*\(/)) {
        call = substr(line, RSTART, RLENGTH - 1)
        sub(/^[0-9]+ /, "", call)
        certain = certain && RSTART == 1
        line = substr(line, RSTART + RLENGTH)
        end = index(line, ")")
        note(call, end ? substr(line, 1, end) : line, certain)
        certain = 0
      }
      line = $0
      while (match(line, /Unknown syscall [0-9]+/)) {
        number = substr(line, RSTART + 16, RLENGTH - 16)
        line = substr(line, RSTART + RLENGTH)
        call = number in by_number ? by_number[number] : "syscall_" number
        note(call, "", 1)
      }
    }
    END { for (call in count) printf "%s\t%d\t%s\n", call, count[call], first[call] }
  ' "$@" | sort
}

# The table without comments: name<TAB>release<TAB>fallback.
table_rows() { grep -v '^#' "$table" | grep -v '^$' || true; }

# True when release $1 came after the router's kernel.
newer_than_router() {
  [ "$1" != "$router_kernel" ] &&
    [ "$(printf '%s\n%s\n' "$1" "$router_kernel" | sort -V | tail -n 1)" = "$1" ]
}

release_from_manual() {
  [ -r "$manual" ] || { echo "?"; return; }
  local found
  found=$(zcat -f "$manual" | awk -F'\t' -v c="${1%%/*}" '$1 == "\\fB" c "\\fP(2)" { print $2; exit }')
  echo "${found:-?}"
}

# README's list: every call once, then the rows newer than the router's kernel.
readme_block() {
  echo "$begin_mark"
  table_rows | cut -f1 | sed 's|/.*||' | sort -u | awk '
    { word = "`" $0 "`" }
    NR > 1 { line = line ","; if (length(line) + 1 + length(word) > 99) { print line; line = word; next } }
    { line = line (NR > 1 ? " " : "") word }
    END { print line "." }'
  echo
  echo "| Newer than $router_kernel | Linux | When the kernel answers ENOSYS |"
  echo "|---|---|---|"
  table_rows | while IFS=$'\t' read -r name release fallback; do
    if newer_than_router "$release"; then
      local shown="\`${name%%/*}\`"
      [ "$name" = "${name%%/*}" ] || shown="$shown with \`${name#*/}\`"
      echo "| $shown | $release | $fallback |"
    fi
  done
  echo "$end_mark"
}

current_readme_block() {
  awk -v b="$begin_mark" -v e="$end_mark" '$0 == b { on = 1 } on { print } $0 == e { on = 0 }' \
    "$readme"
}

write_readme_block() {
  grep -qxF "$begin_mark" "$readme" || {
    echo "syscalls: README.md has no line '$begin_mark' to put the list after" >&2
    exit 1
  }
  local block
  block=$(readme_block)
  BLOCK=$block awk -v b="$begin_mark" -v e="$end_mark" '
    $0 == b { print ENVIRON["BLOCK"]; skip = 1; next }
    skip && $0 == e { skip = 0; next }
    !skip { print }
  ' "$readme" >"$readme.new"
  mv "$readme.new" "$readme"
}

seen=$(seen_calls "$@")
[ -n "$seen" ] || { echo "syscalls: the traces hold no system call of the driver" >&2; exit 1; }
listed=$(table_rows | cut -f1)

if [ "$update" -eq 1 ]; then
  added=0
  while IFS=$'\t' read -r name _ first; do
    grep -qxF "$name" <<<"$listed" && continue
    release=$(release_from_manual "$name")
    printf '%s\t%s\t-\n' "$name" "$release" >>"$table"
    echo "syscalls: added $name (Linux $release; first in $first): check the release for 32-bit ARM"
    added=$((added + 1))
  done <<<"$seen"
  { grep '^#' "$table"; table_rows | sort; } >"$table.new" && mv "$table.new" "$table"
  write_readme_block
  echo "syscalls: $added calls added; README.md's list rewritten from $(basename "$table")"
fi

failures=0
fail() {
  echo "syscalls: $*" >&2
  failures=$((failures + 1))
}

while IFS=$'\t' read -r name count first; do
  row=$(table_rows | awk -F'\t' -v n="$name" '$1 == n')
  if [ -z "$row" ]; then
    fail "$name (made $count times, first in $first) is not in $(basename "$table")"
    continue
  fi
  IFS=$'\t' read -r _ release fallback <<<"$row"
  if [[ "$release" =~ ^[0-9.]+$ ]] && newer_than_router "$release" && [ "${fallback:--}" = "-" ]; then
    fail "$name came with Linux $release, after $router_kernel, and the table names no fallback"
  fi
done <<<"$seen"

while IFS=$'\t' read -r name release _; do
  [[ "$release" =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "$name: release '$release' is not filled in"
  grep -q "^$name	" <<<"$seen" || echo "syscalls: listed, not seen in these traces: $name"
done < <(table_rows)

if [ "$(current_readme_block)" != "$(readme_block)" ]; then
  fail "README.md's list of calls is not the table's: run $0 --update TRACE..."
fi

for binary in "${binaries[@]}"; do
  if "$objdump" -d "$binary" | grep -q '0xffff0f60'; then
    fail "$binary calls the kernel's cmpxchg64 helper (Linux 3.1): it aborts at start-up on $router_kernel"
  fi
done

total=$(wc -l <<<"$seen")
if [ "$failures" -gt 0 ]; then
  echo "syscalls: $failures problems in $total distinct calls" >&2
  exit 1
fi
echo "syscalls: $total distinct calls, all in the table, each older than $router_kernel or with a fallback"
