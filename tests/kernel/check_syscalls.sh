#!/usr/bin/env bash
# The system-call contract of the router's upgrader with the router's kernel, Linux 2.6.35.
# `check_syscalls.sh [--binary UPGRADER]... TRACE...`: each call that the driver process made in
# TRACE (upgrader runs under `qemu-arm-static -strace`, "=== run: NAME" lines naming them) must be
# in cmake/router-syscalls.tsv with its release, one newer than 2.6.35 with a fallback, and
# README.md's list must be the table's; --binary fails an ARM binary that calls the cmpxchg64
# user helper (3.1; the emulator serves it untraced). `check_syscalls.sh --update TRACE...` adds
# the calls the table lacks (release from syscalls(2), else "?"; a fallback is written by hand)
# and rewrites README.md's list from the table.
set -euo pipefail
export LC_ALL=C  # one order of names (sort) everywhere

here=$(cd "$(dirname "$0")" && pwd)
table=${QX_SYSCALL_TABLE:-$here/../../cmake/router-syscalls.tsv}
readme=${QX_SYSCALL_README:-$here/../../README.md}
unistd=${QX_ARM_UNISTD:-/usr/arm-linux-gnueabi/include/asm/unistd-eabi.h}
manual=${QX_SYSCALL_MANUAL:-/usr/share/man/man2/syscalls.2.gz}
readonly router_kernel=2.6.35
readonly begin_mark='<!-- system calls: made from cmake/router-syscalls.tsv by tests/kernel/check_syscalls.sh --update -->'
readonly end_mark='<!-- end of system calls -->'

usage() { echo "usage: $0 [--binary UPGRADER]... TRACE... | $0 --update TRACE..." >&2; exit 2; }
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
for trace in "$@"; do [ -s "$trace" ] || { echo "syscalls: no trace in $trace" >&2; exit 1; }; done
[ -r "$unistd" ] ||
  { echo "syscalls: no ARM system call numbers in $unistd (linux-libc-dev-armel-cross)" >&2; exit 1; }

# name<TAB>count<TAB>first run per call seen (CALL/FLAG for a form the table lists), from lines
# "PID name(arguments) = result"; a "PID name(" later in a line (a child's call in the same
# stream) counts when it names an ARM call. "Unknown syscall N" is named by its ARM number.
seen_calls() {
  awk -v unistd="$unistd" -v table="$table" '
    BEGIN {
      while ((getline line < unistd) > 0) {
        if (line !~ /^#define __NR_[a-z0-9_]+ \(__NR_SYSCALL_BASE ?\+ ?[0-9]+\)/) continue
        split(line, words, /[ ()+]+/)
        known[substr(words[2], 6)] = 1
        by_number[words[4]] = substr(words[2], 6)
      }
      while ((getline line < table) > 0)
        if (line !~ /^#/ && split(line, cols, "\t") && split(cols[1], form, "/") == 2)
          flags[form[1]] = flags[form[1]] " " form[2]
    }
    function note(call, args, certain,    n, i, list) {
      if (!(call in known) && !certain) return
      n = (call in flags) ? split(flags[call], list, " ") : 0
      for (i = 1; i <= n; ++i) if (index(args, list[i])) { call = call "/" list[i]; break }
      if (!(call in count)) first[call] = run
      ++count[call]
    }
    FNR == 1 { run = FILENAME }
    /^=== run: / { run = substr($0, 10); next }
    {
      line = $0
      for (certain = 1; match(line, /[0-9]+ [a-z_][a-z0-9_]*\(/); certain = 0) {
        split(substr(line, RSTART, RLENGTH - 1), pid_call, " ")
        certain = certain && RSTART == 1
        line = substr(line, RSTART + RLENGTH)
        end = index(line, ")")
        note(pid_call[2], end ? substr(line, 1, end) : line, certain)
      }
      for (line = $0; match(line, /Unknown syscall [0-9]+/); line = substr(line, RSTART + RLENGTH)) {
        number = substr(line, RSTART + 16, RLENGTH - 16)
        note(number in by_number ? by_number[number] : "syscall_" number, "", 1)
      }
    }
    END { for (call in count) printf "%s\t%d\t%s\n", call, count[call], first[call] }
  ' "$@" | sort
}

table_rows() { grep -v -e '^#' -e '^$' "$table" || true; }  # name<TAB>release<TAB>fallback

newer_than_router() {  # release $1 came after the router's kernel
  [ "$1" != "$router_kernel" ] && [ "$(printf '%s\n%s\n' "$1" "$router_kernel" | sort -V | tail -n 1)" = "$1" ]
}

readme_block() {  # README's list: every call once, then the rows newer than the router's kernel
  echo "$begin_mark"
  table_rows | cut -f1 | sed 's|/.*||' | sort -u | awk '
    { word = "`" $0 "`" }
    NR > 1 { line = line ","; if (length(line) + 1 + length(word) > 99) { print line; line = word; next } }
    { line = line (NR > 1 ? " " : "") word }
    END { print line "." }'
  printf '\n| Newer than %s | Linux | When the kernel answers ENOSYS |\n|---|---|---|\n' "$router_kernel"
  table_rows | while IFS=$'\t' read -r name release fallback; do
    local shown="\`${name%%/*}\`"
    [ "$name" = "${name%%/*}" ] || shown="$shown with \`${name#*/}\`"
    if newer_than_router "$release"; then echo "| $shown | $release | $fallback |"; fi
  done
  echo "$end_mark"
}

seen=$(seen_calls "$@")
[ -n "$seen" ] || { echo "syscalls: the traces hold no system call of the driver" >&2; exit 1; }

if [ "$update" -eq 1 ]; then
  added=0
  while IFS=$'\t' read -r name _ first; do
    table_rows | cut -f1 | grep -qxF "$name" && continue
    release=$(zcat -f "$manual" 2>/dev/null |
      awk -F'\t' -v c="${name%%/*}" '$1 == "\\fB" c "\\fP(2)" { print $2; exit }') || true
    printf '%s\t%s\t-\n' "$name" "${release:-?}" >>"$table"
    echo "syscalls: added $name (Linux ${release:-?}; first in $first): check the release for 32-bit ARM"
    added=$((added + 1))
  done <<<"$seen"
  { grep '^#' "$table"; table_rows | sort; } >"$table.new" && mv "$table.new" "$table"
  grep -qxF "$begin_mark" "$readme" ||
    { echo "syscalls: README.md has no line '$begin_mark' to put the list after" >&2; exit 1; }
  BLOCK=$(readme_block) awk -v b="$begin_mark" -v e="$end_mark" '
    $0 == b { print ENVIRON["BLOCK"]; skip = 1; next }
    skip && $0 == e { skip = 0; next }
    !skip { print }' "$readme" >"$readme.new" && mv "$readme.new" "$readme"
  echo "syscalls: $added calls added; README.md's list rewritten from $(basename "$table")"
fi

failures=0
fail() { echo "syscalls: $*" >&2; failures=$((failures + 1)); }
while IFS=$'\t' read -r name count first; do
  IFS=$'\t' read -r _ release fallback < <(table_rows | awk -F'\t' -v n="$name" '$1 == n') || {
    fail "$name (made $count times, first in $first) is not in $(basename "$table")"
    continue
  }
  [[ "$release" =~ ^[0-9.]+$ ]] && newer_than_router "$release" && [ "${fallback:--}" = "-" ] &&
    fail "$name came with Linux $release, after $router_kernel, and the table names no fallback"
done <<<"$seen"
while IFS=$'\t' read -r name release _; do
  [[ "$release" =~ ^[0-9]+(\.[0-9]+)*$ ]] || fail "$name: release '$release' is not filled in"
  grep -q "^$name	" <<<"$seen" || echo "syscalls: listed, not seen in these traces: $name"
done < <(table_rows)
current=$(awk -v b="$begin_mark" -v e="$end_mark" '$0 == b { on = 1 } on { print } $0 == e { on = 0 }' "$readme")
[ "$current" = "$(readme_block)" ] ||
  fail "README.md's list of calls is not the table's: run $0 --update TRACE..."
for binary in "${binaries[@]}"; do
  "${OBJDUMP:-arm-linux-gnueabi-objdump}" -d "$binary" | grep -q '0xffff0f60' &&
    fail "$binary calls the kernel's cmpxchg64 helper (Linux 3.1): it aborts at start-up on $router_kernel"
done

total=$(wc -l <<<"$seen")
[ "$failures" -eq 0 ] || { echo "syscalls: $failures problems in $total distinct calls" >&2; exit 1; }
echo "syscalls: $total distinct calls, all in the table, each older than $router_kernel or with a fallback"
