#!/usr/bin/env bash
# The bash completion of udtool and device-sim, in a non-interactive bash with COMP_WORDS and
# COMP_CWORD set as bash sets them: subcommands, options read from the built tools' --help,
# option arguments, and host files where a file is expected.
#   completion_test.sh COMPLETION_SCRIPT UDTOOL_DIR DEVICE_SIM_DIR
set -uo pipefail
# shellcheck source=/dev/null
source "$1"
PATH=$2:$3:$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/images"
touch "$work/ud-a.bin" "$work/ud-b.bin"
cd "$work" || exit 1

failures=0
# expect "EXPECTED REPLIES (sorted, space-separated)" WORD... (the last word is the one completed)
expect() {
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _qx_tool
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  if [[ $got != "$expected" ]]; then
    echo "FAIL: $*: expected [$expected], got [$got]"
    failures=$((failures + 1))
  fi
}

expect "create extract info verify" udtool ""
expect "--help --version" udtool --
expect "run shell upgrade" device-sim ""
expect "--upgrade-id --upgrade-name --upgrade-version" udtool create --upgrade-
expect "--json" udtool info --j
expect "--all --force -a -f" udtool extract -
expect "--power-cut-at" device-sim upgrade --power
expect "--ramdisk-size --root-size" device-sim run --r
# Option arguments: a host file for a path, nothing for a number or a device setting.
expect "images ud-a.bin ud-b.bin" udtool create -o ""
expect "ud-a.bin ud-b.bin" device-sim upgrade --upgrader ud
expect "" udtool create --upgrade-version ""
expect "" device-sim run --board ""
# Operands: host files for udtool and upgrade; a device command after "--" is not guessed.
expect "ud-a.bin ud-b.bin" udtool verify ud
expect "images" device-sim upgrade im
expect "" device-sim run -- /bin/s

if ((failures > 0)); then
  echo "$failures completion case(s) failed"
  exit 1
fi
echo "all completion cases passed"
