# Upgrade files and payload disks for the emulated router, sourced by system_test.sh.

readonly udtool=${QX_UDTOOL:-$PWD/build/release/tools/udtool}

# make_upgrade OUT KERNEL_BYTES: a valid upgrade file whose validator passes only when it is
# given the staged kernel image and database, both non-empty (status 3 otherwise).
make_upgrade() {
  local out=$1 kernel_bytes=$2 dir
  dir=$(mktemp -d "$work/members.XXXXXX")
  echo "release notes" >"$dir/info.txt"
  echo "build notes" >"$dir/notes.txt"
  cat >"$dir/fs-validator" <<'EOF'
#!/bin/sh
[ "$1" = /tmp/ramdisk/kernel_image ] && [ -s "$1" ] || exit 3
[ "$2" = /tmp/ramdisk/filesystem.db ] && [ -s "$2" ] || exit 3
exit 0
EOF
  head -c "$kernel_bytes" /dev/urandom >"$dir/kernel_image"
  echo "file-system database" >"$dir/filesystem.db"
  "$udtool" create --force -o "$out" --upgrade-name "router system test" --release-name R1 \
    --file-date 20261207 "$dir/info.txt" "$dir/notes.txt" "$dir/fs-validator" \
    "$dir/kernel_image" "$dir/filesystem.db" >/dev/null
  rm -rf "$dir"
}

# make_damaged_upgrade OUT: a 1 MB upgrade file with one byte of the kernel image flipped.
make_damaged_upgrade() {
  local out=$1 offset
  make_upgrade "$out" 1000000
  offset=$(($(stat -c %s "$out") - 500000))
  printf '\x5a' | dd of="$out" bs=1 seek="$offset" conv=notrunc status=none
}

# make_many_members OUT LIMIT_BYTES DATA: the largest count of inner files holding DATA (not
# empty: udtool refuses empty inner files after the last one with data) whose upgrade file fits
# in LIMIT_BYTES (the ramdisk's 25 MiB). Prints the count.
make_many_members() {
  local out=$1 limit=$2 data=$3 dir one two count
  dir=$(mktemp -d "$work/members.XXXXXX")
  printf '%s' "$data" >"$dir/e"
  (cd "$dir" && "$udtool" create -o one.bin e >/dev/null && "$udtool" create -o two.bin e e >/dev/null) ||
    fail "make_many_members: udtool create failed"
  one=$(stat -c %s "$dir/one.bin")
  two=$(stat -c %s "$dir/two.bin")
  count=$(((limit - one) / (two - one) + 1))
  # shellcheck disable=SC2046  # one word per inner file, all the same file
  [ "$count" -gt 0 ] || fail "make_many_members: no inner file fits $limit bytes"
  (cd "$dir" && "$udtool" create --force -o "$out" $(yes e | head -n "$count") >/dev/null) ||
    fail "make_many_members: udtool create of $count inner files failed"
  [ "$(stat -c %s "$out")" -le "$limit" ] || fail "$count inner files exceed $limit bytes"
  rm -rf "$dir"
  echo "$count"
}

# make_payload IMAGE UPGRADE_FILE [KEY=VALUE...]: the payload disk for one scenario; the pairs
# become scenario.conf (upgrade_file, arguments, launcher, board).
make_payload() {
  local image=$1 upgrade=$2 dir
  shift 2
  dir=$(mktemp -d "$work/payload.XXXXXX")
  cp "$here/scenario" "$here/wdprog" "$dir/"
  cp -r "$work/payload-bin" "$dir/bin"
  {
    echo "arguments=/tmp/wdprog"
    echo "launcher="
    echo "board="
    if [ -n "$upgrade" ]; then
      cp "$upgrade" "$dir/ud-router.bin"
      echo "upgrade_file=ud-router.bin"
    else
      echo "upgrade_file="
    fi
    local pair
    for pair in "$@"; do echo "${pair%%=*}='${pair#*=}'"; done
  } >"$dir/scenario.conf"
  make_payload_disk "$dir" "$image"
  rm -rf "$dir"
}
