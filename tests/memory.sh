#!/usr/bin/env bash
# Stops keygen at its exit system call, dumps its memory with gdb and checks
# that no copy of P or Q is left in it: memory.sh KEYGEN CHECK_KEY [file]
# (with file, the key goes to a file through -o instead of standard output)
set -u
keygen=$1 check_key=$2 to=${3:-stdout}
command -v gdb >/dev/null || { echo "gdb is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

output=">$work/key"
[ "$to" = file ] && output="-o $work/key"
gdb -nx -batch -ex 'set pagination off' -ex 'catch syscall exit_group' \
    -ex "run $output" -ex "gcore $work/core" -ex kill "$keygen" >"$work/gdb.log" 2>&1
[ -s "$work/core" ] || { echo "FAIL: no memory image"; cat "$work/gdb.log"; exit 1; }
"$check_key" "$work/core" <"$work/key"
