#!/usr/bin/env bash
# End-to-end checks of the keygen executable: cli.sh CASE KEYGEN CHECK_KEY [PRELOAD]
case_name=$1 keygen=$2 check_key=$3 preload=${4:-}
. "$(dirname "$0")/lib.sh"

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
stuck-source | endless-eintr)
    mode=zeros
    [ "$case_name" = endless-eintr ] && mode=eintr
    run LD_PRELOAD="$preload" ASAN_OPTIONS=verify_asan_link_order=0 NO_ENTROPY=$mode
    expect_failure "keygen: the random source failed its health test"
    [ -s "$work/out" ] && fail "a key was printed"
    ;;
check)
    "$keygen" | "$keygen" -c >"$work/out" || fail "a new key is not valid"
    grep -Eq '^\(standard input\): valid key \(N has (199|200) digits, 6[56][0-9] bits\)$' "$work/out" ||
        fail "check said: $(cat "$work/out")"
    "$keygen" -o "$work/k" && "$keygen" -y "$work/k" >"$work/pub" || fail "no public key"
    # Several files: each reported, the status that of the worst.
    "$keygen" -c "$work/pub" "$work/missing" "$work/k" >"$work/out" 2>"$work/err"; status=$?
    [ "$status" -eq 1 ] || fail "status $status with a missing file"
    [ "$(sed 's/ (N has .*//' "$work/out" | tr '\n' ' ')" = "$work/pub: valid public key $work/k: valid key " ] ||
        fail "reports: $(cat "$work/out")"
    expect_failure "keygen: cannot read $work/missing: No such file or directory"
    ;;
public)
    "$keygen" -o "$work/k" || fail "no key"
    "$keygen" -y "$work/k" >"$work/out" || fail "-y failed"
    grep AuthN "$work/k" | cmp -s - "$work/out" || fail "-y did not print the AuthN lines"
    (umask 077; "$keygen" -y -o "$work/pub" "$work/k") || fail "-y -o failed"
    [ "$(stat -c %a "$work/pub")" = 644 ] || fail "public key file mode $(stat -c %a "$work/pub")"
    cmp -s "$work/out" "$work/pub" || fail "-y -o wrote other lines"
    "$keygen" -y -o "$work/pub" "$work/k" 2>"$work/err"; status=$?
    expect_failure "keygen: cannot write the public key to $work/pub: File exists (-f replaces it)"
    "$keygen" -y "$work/pub" 2>"$work/err"; status=$?
    expect_failure "keygen: $work/pub:1: a public key already; -y needs the whole key"
    ;;
signals)
    # SIGTERM while keygen syncs its file: a run stopped before the key is
    # complete at its name dies of the signal and leaves nothing new; once
    # the new key is in place, the run ends as it would have. A signal
    # ignored at the start stays ignored.
    command -v strace >/dev/null || fail "strace is not installed"
    cd "$work" || exit 1
    during_fsync() {  # during_fsync N SIGNAL EVENT COMMAND...: SIGNAL once EVENT holds, the Nth fsync held
        local n=$1 signal=$2 event=$3; shift 3
        # LeakSanitizer cannot run under ptrace.
        ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace=fsync \
            -e inject=fsync:delay_enter=2000000:when="$n" "$@" 2>err &
        local tracer=$!
        wait_for eval "$event"
        pkill "-$signal" -P "$tracer"
        wait "$tracer"; status=$?
    }
    temporary() { compgen -G '.keyfile-*' >/dev/null; }
    renamed() { [ "$(wc -l <key)" -eq 8 ]; }
    during_fsync 1 TERM "test -e key" "$keygen" -o key
    [ "$status" -eq 143 ] || fail "-o: exit status $status, wanted 143"
    [ "$(ls -A)" = err ] || fail "-o left: $(ls -A)"
    echo old >key
    during_fsync 1 TERM temporary "$keygen" -f -o key
    [ "$status" -eq 143 ] || fail "-f: exit status $status, wanted 143"
    [ "$(cat key)" = old ] && [ "$(ls -A | tr '\n' ' ')" = "err key " ] || fail "-f left: $(ls -A)"
    during_fsync 2 TERM renamed "$keygen" -f -o key
    [ "$status" -eq 0 ] || fail "-f, after the rename: exit status $status, wanted 0: $(cat err)"
    "$check_key" <key || fail "-f, after the rename: no new key"
    rm key
    during_fsync 1 INT "test -e key" bash -c 'trap "" INT; exec "$0" -o key' "$keygen"
    [ "$status" -eq 0 ] && "$check_key" <key || fail "SIGINT ignored: exit status $status"
    ;;
moved-folder)
    # The folder is opened once: a link to it flipped after that, while the
    # key is made, can neither leave a key behind nor send it elsewhere.
    command -v strace >/dev/null || fail "strace is not installed"
    cd "$work" && mkdir a b && ln -s a cur || exit 1
    # The second getrandom is the first after the folder is opened.
    ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace=getrandom \
        -e inject=getrandom:delay_enter=2000000:when=2 "$keygen" -f -o cur/key 2>err &
    tracer=$!
    holds_a() { ls -l /proc/"$(pgrep -P $tracer)"/fd 2>/dev/null | grep -q " $work/a\$"; }
    wait_for holds_a
    ln -sfn b cur
    wait "$tracer"; status=$?
    [ "$status" -eq 0 ] && "$check_key" <a/key || fail "exit status $status: $(cat err)"
    [ -z "$(ls -A b)" ] && [ "$(ls -A a)" = key ] || fail "left: a: $(ls -A a), b: $(ls -A b)"
    ;;
huge-line)
    # A line that never ends is refused after a few hundred bytes.
    { printf '\tAuthP\t\t'; yes 1234567890 | tr -d '\n'; } | "$keygen" -c 2>"$work/err"; status=$?
    expect_failure "keygen: (standard input):1: line too long"
    ;;
*)
    fail "unknown case"
    ;;
esac
exit 0
