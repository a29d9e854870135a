#!/usr/bin/env bash
# Reads the binary and fails when a hardening feature is missing:
# hardening.sh KEYGEN [fortify]
bin=$1 fortify=${2:-}
. "$(dirname "$0")/lib.sh"
readelf -h "$bin" | grep -q 'Type:[[:space:]]*DYN' || fail "not a position-independent executable"
readelf -lW "$bin" | grep -q GNU_RELRO || fail "no RELRO segment"
readelf -dW "$bin" | grep -Eq 'BIND_NOW|FLAGS.*NOW' || fail "no BIND_NOW"
readelf -sW --dyn-syms "$bin" | grep -q '__stack_chk_fail' || fail "no stack protector"
objdump -d "$bin" | grep -q endbr64 || fail "no control-flow protection"
if [ "$fortify" = fortify ]; then
    readelf -sW --dyn-syms "$bin" | grep -q '__[a-z]*_chk@' || fail "not fortified"
fi
exit 0
