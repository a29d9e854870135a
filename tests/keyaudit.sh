#!/usr/bin/env bash
# End-to-end checks of keyaudit on keys the old generator made at known
# seconds: keyaudit.sh CASE KEYAUDIT OLD_KEYGEN KEYGEN
set -u
case_name=$1 keyaudit=$2 old_keygen=$3 keygen=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }
# A second inside the window below, and its text.
s=1700000000 when="2023-11-14 22:13:20 UTC"
window=(--from @$((s - 5)) --to @$((s + 5)))
old() { "$old_keygen" "$1" >"$2" || fail "old_keygen $1"; }
expect() {  # expect STATUS FILE EXPECTED
    [ "$status" -eq "$1" ] || fail "exit status $status, wanted $1; stderr: $(cat err)"
    [ "$(cat "$2")" = "$3" ] || fail "$2 was:
$(cat "$2")"
}

case $case_name in
window)
    # Both edges and the middle are found; a second either side is not.
    for seed in $((s - 5)) $s $((s + 5)) $((s - 6)) $((s + 6)); do old $seed k$seed; done
    grep AuthN k$s >pub
    "$keyaudit" -q "${window[@]}" k$((s - 5)) k$s pub k$((s + 5)) k$((s - 6)) k$((s + 6)) >out 2>err
    status=$?
    span="from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC"
    expect 1 out "k$((s - 5)): COMPROMISED: made at 2023-11-14 22:13:15 UTC (seed $((s - 5)))
k$s: COMPROMISED: made at $when (seed $s)
pub: COMPROMISED: made at $when (seed $s)
k$((s + 5)): COMPROMISED: made at 2023-11-14 22:13:25 UTC (seed $((s + 5)))
k$((s - 6)): not found $span
k$((s + 6)): not found $span"
    # The same report from one thread as from two.
    "$keyaudit" -q -j 1 "${window[@]}" k* pub >one 2>&1
    "$keyaudit" -q -j 2 "${window[@]}" k* pub >two 2>&1
    cmp -s one two || fail "-j 1 and -j 2 differ"
    ;;
file-time)
    # Without --from and --to the window ends at the file's time.
    old $s key
    touch -d @$((s + 3)) key
    "$keyaudit" -q --from @$((s - 2)) key >out 2>err; status=$?
    expect 1 out "key: COMPROMISED: made at $when (seed $s)"
    ;;
fresh-key)
    "$keygen" -o key || fail "keygen"
    "$keyaudit" -q "${window[@]}" key >out 2>err; status=$?
    expect 0 out "key: not found from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC"
    ;;
unreadable)
    # Every input is audited; one that cannot be read is reported.
    old $s key
    printf 'junk\n' >junk
    "$keyaudit" -q "${window[@]}" missing key junk >out 2>err; status=$?
    expect 1 out "key: COMPROMISED: made at $when (seed $s)"
    expect 1 err "keyaudit: cannot read missing: No such file or directory
keyaudit: junk:1: not an AuthP line"
    "$keygen" -o fresh
    "$keyaudit" -q "${window[@]}" fresh junk >out 2>err; status=$?
    [ "$status" -eq 2 ] || fail "status $status with an unreadable input and no compromised key"
    ;;
recover)
    old $s key
    "$keygen" -y key >pub
    "$keyaudit" -q --recover "${window[@]}" - <pub >out 2>err; status=$?
    expect 1 err "(standard input): COMPROMISED: made at $when (seed $s)"
    cmp -s out key || fail "the recovered key differs from the old one"
    "$keygen" -c <out >/dev/null || fail "the recovered key is not valid"
    "$keygen" -o fresh && "$keyaudit" -q --recover "${window[@]}" fresh >out 2>err; status=$?
    expect 0 out ""
    ;;
interrupt)
    # A long window, stopped: what was searched is reported, and how to go on.
    old $s key
    "$keyaudit" -q -j 2 --from @1000000000 --to @1100000000 key >out 2>err &
    pid=$!
    sleep 1
    kill -INT $pid
    start=$(date +%s%N)
    wait $pid; status=$?
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$status" -eq 130 ] || fail "exit status $status, wanted 130"
    [ "$took" -lt 1000 ] || fail "took $took ms to stop"
    grep -Eq '^key: not found from 2001-09-09 01:46:40 UTC to 2001-09-09 0[1-9]:[0-9:]+ UTC \(interrupted\)$' out ||
        fail "report: $(cat out)"
    grep -Eq '^keyaudit: interrupted; to go on: --from @10000[0-9]+ --to @1100000000$' err ||
        fail "stderr: $(cat err)"
    ;;
usage)
    for args in "" "-" "--from @1 -" "--from yesterday key" "--to @4294967296 key" \
                "--from 2023-02-30 key" "--from @5 --to @4 key" "--recover a b" "-j 0 key"; do
        # shellcheck disable=SC2086
        "$keyaudit" $args </dev/null >out 2>err; status=$?
        [ "$status" -eq 2 ] || fail "'$args': exit status $status"
        grep -q '^usage: keyaudit ' err || fail "'$args': no usage"
        [ -s out ] && fail "'$args': wrote to standard output"
    done
    "$keyaudit" -V >out || fail "-V"
    grep -q '^keyaudit [0-9]' out || fail "version: $(cat out)"
    ;;
*)
    fail "unknown case"
    ;;
esac
exit 0
