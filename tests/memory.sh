#!/usr/bin/env bash
# Stops a program at its exit system call, dumps its memory with gdb and
# checks that no copy of P or Q is left in it:
#   memory.sh CASE CHECK_KEY KEYGEN [KEYAUDIT OLD_KEYGEN]
# CASE: stdout or file (keygen's key to standard output or through -o),
# keyaudit (an old key found at the end of its window, so that nothing later
# overwrites the worker's stack, and recovered), each also as CASE-noavx512 with
# glibc kept off AVX-512, as on a processor without it.
case_name=$1 check_key=$2 keygen=$3 keyaudit=${4:-} old_keygen=${5:-}
. "$(dirname "$0")/lib.sh"
command -v gdb >/dev/null || fail "gdb is not installed"

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
    "$old_keygen" $seed >"$work/key" || fail "old_keygen"
    program=$keyaudit run="run -q -j 2 --recover --from @$((seed - 3)) --to @$seed $work/key >$work/recovered 2>/dev/null" ;;
*) fail "unknown case" ;;
esac
gdb -nx -batch -ex 'set pagination off' "${environment[@]}" -ex 'catch syscall exit_group' \
    -ex "$run" -ex "gcore $work/core" -ex kill "$program" >"$work/gdb.log" 2>&1
[ -s "$work/core" ] || fail "no memory image: $(cat "$work/gdb.log")"
if [ "$case_name" = keyaudit ]; then
    cmp -s "$work/key" "$work/recovered" || fail "the key was not recovered"
fi
"$check_key" "$work/core" <"$work/key"
