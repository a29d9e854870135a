#!/usr/bin/env bash
# End-to-end checks of the keygen executable: cli.sh CASE KEYGEN CHECK_KEY [PRELOAD]
set -u
case_name=$1 keygen=$2 check_key=$3 preload=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }

# run [ENV...] -- ARGS: runs keygen with stdout and stderr in files, sets $status
run() {
    env "$@" "$keygen" >"$work/out" 2>"$work/err"
    status=$?
}

expect_failure() {  # expect_failure MESSAGE
    [ "$status" -eq 1 ] || fail "exit status $status, wanted 1"
    [ "$(cat "$work/err")" = "$1" ] || fail "stderr was: $(cat "$work/err")"
}

case $case_name in
format)
    run
    [ "$status" -eq 0 ] || fail "exit status $status"
    [ -s "$work/err" ] && fail "stderr not empty: $(cat "$work/err")"
    size=$(wc -c <"$work/out")
    [ "$size" -eq 472 ] || [ "$size" -eq 471 ] || fail "output is $size bytes"
    "$check_key" <"$work/out" || fail "not a valid key"
    ;;
fresh-keys)
    "$keygen" >"$work/a" && "$keygen" >"$work/b" || fail "a run failed"
    cmp -s "$work/a" "$work/b" && fail "two runs printed the same key"
    [ "$(head -c 50 "$work/a")" != "$(head -c 50 "$work/b")" ] || fail "two runs share P"
    ;;
full-disk)
    "$keygen" >/dev/full 2>"$work/err"; status=$?
    expect_failure "keygen: cannot write the key: No space left on device"
    ;;
closed-stdout)
    "$keygen" >&- 2>"$work/err"; status=$?
    expect_failure "keygen: cannot write the key: Bad file descriptor"
    ;;
no-entropy)
    # The sanitizers' runtime must not insist on being loaded first.
    run LD_PRELOAD="$preload" ASAN_OPTIONS=verify_asan_link_order=0
    expect_failure "keygen: cannot read random bytes: Function not implemented"
    [ -s "$work/out" ] && fail "a key was printed"
    ;;
*)
    fail "unknown case"
    ;;
esac
exit 0
