#!/usr/bin/env bash
# Stops a program at its exit system call, dumps its memory with gdb and
# checks that no copy of P or Q is left in it:
#   memory.sh CASE CHECK_KEY KEYGEN [KEYAUDIT OLD_KEYGEN]
# CASE: stdout or file (keygen's key to standard output or through -o),
# keyaudit (an old key found at the end of its window, so that nothing later
# overwrites the worker's stack, and recovered), each also as CASE-noavx512 with
# glibc kept off AVX-512, as on a processor without it.
set -u
case_name=$1 check_key=$2 keygen=$3 keyaudit=${4:-} old_keygen=${5:-}
command -v gdb >/dev/null || { echo "gdb is not installed"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

environment=()
case $case_name in
*-noavx512)
    environment=(-ex "set environment GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ")
    case_name=${case_name%-noavx512} ;;
esac
case $case_name in
stdout)   program=$keygen run="run >$work/key" ;;
file)     program=$keygen run="run -o $work/key" ;;
keyaudit)
    seed=1700000000
    "$old_keygen" $seed >"$work/key" || { echo "FAIL: old_keygen"; exit 1; }
    program=$keyaudit run="run -q -j 2 --recover --from @$((seed - 3)) --to @$seed $work/key >$work/recovered 2>/dev/null" ;;
*) echo "unknown case $case_name"; exit 1 ;;
esac
gdb -nx -batch -ex 'set pagination off' "${environment[@]}" -ex 'catch syscall exit_group' \
    -ex "$run" -ex "gcore $work/core" -ex kill "$program" >"$work/gdb.log" 2>&1
[ -s "$work/core" ] || { echo "FAIL: no memory image"; cat "$work/gdb.log"; exit 1; }
if [ "$case_name" = keyaudit ]; then
    cmp -s "$work/key" "$work/recovered" || { echo "FAIL: the key was not recovered"; exit 1; }
fi
"$check_key" "$work/core" <"$work/key"
