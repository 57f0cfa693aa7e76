#!/usr/bin/env bash
# The system calls that the router's kernel, Linux 2.6.35, does not have, as C initialisers
# `{NUMBER, "name"},` for the old-kernel launcher, from the ARM call numbers of the cross
# compiler's kernel headers and each call's release: cmake/router-syscalls.tsv's release column
# where the table lists the call, else the syscalls(2) manual. A call is refused when its release
# came after 2.6.35, or when its ARM number is above 365 (recvmmsg, the last that 2.6.35 assigned
# on ARM: several calls older elsewhere reached 32-bit ARM later, accept4 among them).
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
table=${QX_SYSCALL_TABLE:-$here/../../cmake/router-syscalls.tsv}
unistd=${QX_ARM_UNISTD:-/usr/arm-linux-gnueabi/include/asm/unistd-eabi.h}
manual=${QX_SYSCALL_MANUAL:-/usr/share/man/man2/syscalls.2.gz}
readonly last_arm_number=365
[ -r "$unistd" ] || { echo "refused: no ARM call numbers in $unistd" >&2; exit 1; }
[ -r "$manual" ] || { echo "refused: no syscalls(2) manual at $manual (manpages-dev)" >&2; exit 1; }

zcat "$manual" | awk -v table="$table" -v last="$last_arm_number" '
  function newer(release,    a, b, i, n) {  # release after 2.6.35
    n = split(release, a, ".")
    split("2.6.35", b, ".")
    for (i = 1; i <= 3; ++i) {
      if ((a[i] + 0) > (b[i] + 0)) return 1
      if ((a[i] + 0) < (b[i] + 0)) return 0
    }
    return 0
  }
  BEGIN {
    while ((getline line < table) > 0) {
      if (line ~ /^#/ || split(line, cols, "\t") < 2 || cols[1] ~ /\//) continue
      release[cols[1]] = cols[2]
    }
  }
  FILENAME == "-" {  # the manual: \fBname\fP(2) TAB release
    if (match($0, /^\\fB[a-z0-9_]+\\fP\(2\)\t[0-9.]+/)) {
      split($0, cols, "\t")
      name = substr(cols[1], 4)
      sub(/\\fP\(2\)$/, "", name)
      if (!(name in release)) release[name] = cols[2]
    }
    next
  }
  /^#define __NR_[a-z0-9_]+ \(__NR_SYSCALL_BASE ?\+ ?[0-9]+\)/ {
    split($0, words, /[ ()+]+/)
    name = substr(words[2], 6)
    number = words[4] + 0
    if (number > last || (name in release && newer(release[name])))
      printf "{%d, \"%s\"},\n", number, name
  }
' - "$unistd"
