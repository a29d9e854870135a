#!/usr/bin/env bash
# End-to-end checks of keyaudit on keys the old generator made at known
# seconds: keyaudit.sh CASE KEYAUDIT OLD_KEYGEN KEYGEN
case_name=$1 keyaudit=$2 old_keygen=$3 keygen=$4 make_fleet=${5:-}
. "$(dirname "$0")/lib.sh"
cd "$work" || exit 1

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
    # Both edges and the middle are found, in the order of their seeds; a
    # second either side is not, and its line comes last.
    for seed in $((s - 5)) $s $((s + 5)) $((s - 6)) $((s + 6)); do old $seed k$seed; done
    grep AuthN k$s >pub
    "$keyaudit" -q "${window[@]}" k$((s - 5)) k$s pub k$((s + 5)) k$((s - 6)) k$((s + 6)) >out 2>err
    status=$?
    span="from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC"
    expect 1 out "k$((s - 5)): COMPROMISED: made at 2023-11-14 22:13:15 UTC (seed $((s - 5)), glibc)
k$s: COMPROMISED: made at $when (seed $s, glibc); same key as pub
pub: COMPROMISED: made at $when (seed $s, glibc); same key as k$s
k$((s + 5)): COMPROMISED: made at 2023-11-14 22:13:25 UTC (seed $((s + 5)), glibc)
k$((s - 6)): not found $span (glibc, freebsd, musl)
k$((s + 6)): not found $span (glibc, freebsd, musl)"
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
    expect 1 out "key: COMPROMISED: made at $when (seed $s, glibc)"
    ;;
fresh-key)
    "$keygen" -o key || fail "keygen"
    "$keyaudit" -q "${window[@]}" key >out 2>err; status=$?
    expect 0 out "key: not found from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC (glibc, freebsd, musl)"
    ;;
unreadable)
    # Every input is audited; one that cannot be read is reported.
    old $s key
    printf 'junk\n' >junk
    "$keyaudit" -q "${window[@]}" missing key junk >out 2>err; status=$?
    expect 1 out "missing: error: No such file or directory
junk: error: line 1: not an AuthP line
key: COMPROMISED: made at $when (seed $s, glibc)"
    expect 1 err "keyaudit: cannot read missing: No such file or directory
keyaudit: junk:1: not an AuthP line"
    # A window that holds no second is an error, not a clean audit.
    "$keygen" -o recent
    "$keyaudit" -q --to 2015-12-31 recent >out 2>err; status=$?
    grep -Eq '^recent: error: the window from 20[0-9-]+ [0-9:]+ UTC to 2015-12-31 23:59:59 UTC is empty$' out ||
        fail "empty window: $(cat out)"
    [ "$status" -eq 2 ] || fail "empty window: exit status $status"
    "$keygen" -o fresh
    "$keyaudit" -q "${window[@]}" fresh junk >out 2>err; status=$?
    [ "$status" -eq 2 ] || fail "status $status with an unreadable input and no compromised key"
    ;;
recover)
    old $s key
    "$keygen" -y key >pub
    (umask 077; "$keyaudit" -q --recover "${window[@]}" - <pub >out 2>err); status=$?
    expect 1 err "(standard input): COMPROMISED: made at $when (seed $s, glibc)"
    cmp -s out key || fail "the recovered key differs from the old one"
    "$keygen" -c <out >/dev/null || fail "the recovered key is not valid"
    # Into a private file of its own, never over one that exists.
    (umask 022; "$keyaudit" -q --recover -o rec "${window[@]}" pub 2>err); status=$?
    [ "$status" -eq 1 ] && [ "$(stat -c %a rec)" = 600 ] && cmp -s rec key || fail "-o: $(cat err)"
    "$keyaudit" -q --recover -o rec "${window[@]}" pub >out 2>err; status=$?
    expect 2 err "keyaudit: cannot write the recovered key to rec: File exists"
    cmp -s rec key || fail "-o changed an existing file"
    # A file others can read is named as such.
    (umask 022; "$keyaudit" -q --recover "${window[@]}" pub >open 2>err)
    grep -q "^keyaudit: warning: the recovered key goes to a file that others can read$" err ||
        fail "no warning: $(cat err)"
    "$keygen" -o fresh && "$keyaudit" -q --recover "${window[@]}" fresh >out 2>err; status=$?
    expect 0 out ""
    ;;
interrupt)
    # Stopped in the search, each file's line says what was searched and a
    # hint per file says how to search the rest of its own window.
    old $s key
    old $((s + 1)) later
    touch -d @1500000000 key
    touch -d @1600000000 later
    "$keyaudit" -q -j 2 key later >out 2>err &
    pid=$!
    sleep 1
    kill -INT $pid
    start=$(date +%s%N)
    wait $pid; status=$?
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$status" -eq 130 ] || fail "exit status $status, wanted 130"
    [ "$took" -lt 1000 ] || fail "took $took ms to stop"
    grep -Eq '^key: not found from 2017-07-13 02:40:00 UTC to 2017-07-1[34] [0-9:]+ UTC \(glibc, freebsd, musl\) \(interrupted\)$' out ||
        fail "report: $(cat out)"
    grep -Eq '^later: not searched \(interrupted\)$' out || fail "report: $(cat out)"
    grep -Eq '^keyaudit: to go on: keyaudit --from @14999[0-9]+ --to @1500000000 key$' err ||
        fail "stderr: $(cat err)"
    grep -Eq '^keyaudit: to go on: keyaudit --from @1599913600 --to @1600000000 later$' err ||
        fail "stderr: $(cat err)"
    ;;
blocked-read)
    # A FIFO with no writer, and a pipe that never ends: the stop is not held back.
    mkfifo fifo
    timeout --preserve-status -s INT 1 "$keyaudit" -q --from @0 --to @1 fifo >out 2>err; status=$?
    expect 130 out "fifo: not read (interrupted)"
    grep -q '^keyaudit: to go on: keyaudit --from @0 --to @1 fifo$' err || fail "stderr: $(cat err)"
    timeout --preserve-status -s TERM 1 "$keyaudit" -q --from @0 --to @1 - < <(exec 2>&-; sleep 5) >out 2>err; status=$?
    expect 143 out "(standard input): not read (interrupted)"
    ;;
signal-in-report)
    # A signal once the search is over stops nothing: the report of a
    # thousand keys, to a pipe not yet read, comes whole.
    old $s key
    "$keygen" -o fresh && "$keygen" -y fresh >pub
    mkdir keys && tee $(seq -f 'keys/p%g' 999) <pub >/dev/null
    ( "$keyaudit" -q --from @$s --to @$s keys/* key 2>err & echo $! >pid; wait $!; echo $? >status ) |
        { sleep 2; cat >out; } &
    sleep 1
    kill -INT "$(cat pid)"
    wait
    status=$(cat status)
    [ "$status" -eq 1 ] || fail "exit status $status, wanted 1; stderr: $(cat err)"
    [ "$(wc -l <out)" -eq 1000 ] || fail "$(wc -l <out) lines"
    grep -q "^key: COMPROMISED" out || fail "no COMPROMISED line"
    grep -q "to go on" err && fail "a hint with nothing left: $(cat err)"
    ;;
libcs)
    # An old key of every platform, and at the edges of the 32-bit seeds,
    # is found and recovered: the default three by default, all with --libc all.
    for libc in glibc freebsd musl solaris newlib bionic; do
        for seed in $s 0 2147483647 2147483648 4294967295; do
            "$old_keygen" $seed $libc >"$libc.$seed" || fail "old_keygen $seed $libc"
            first=$((seed < 2 ? 0 : seed - 2)) last=$((seed > 4294967293 ? 4294967295 : seed + 2))
            "$keyaudit" -q --libc all --recover --from @$first --to @$last "$libc.$seed" >out 2>err
            status=$?
            # glibc's srandom(0) is srandom(1): a key of seed 1 is found at 0.
            grep -q "^$libc.$seed: COMPROMISED: made at .* (seed $seed, $libc)\$" err ||
                fail "--libc all: $(cat err)"
            cmp -s out "$libc.$seed" || fail "$libc at $seed: the recovered key differs"
            [ "$status" -eq 1 ] || fail "$libc at $seed: exit status $status"
        done
        case $libc in glibc | freebsd | musl) want=1 ;; *) want=0 ;; esac
        "$keyaudit" -q --from @$((s - 2)) --to @$((s + 2)) "$libc.$s" >out 2>err; status=$?
        [ "$status" -eq $want ] || fail "default streams, $libc: exit status $status: $(cat out)"
    done
    # The same report whatever the test of the candidates.
    "$keyaudit" -q --libc all --from @$((s - 1)) --to @$((s + 1)) *.$s >base2 2>&1
    "$keyaudit" -q --libc all --exact --from @$((s - 1)) --to @$((s + 1)) *.$s >exact 2>&1
    cmp -s base2 exact || fail "--exact changed the report: $(diff base2 exact)"
    ;;
fleet)
    # A folder of public keys, one old and two that share a prime, walked
    # with -r: one JSON line per key, a non-key skipped and counted.
    mkdir -p fleet/sub && "$make_fleet" fleet 300 || fail "make_fleet"
    old $s key && "$keygen" -y key >fleet/sub/old.pub
    cp fleet/fleet007.pub "fleet/sub/odd
name: x"
    echo "not a key" >fleet/notes.txt
    "$keyaudit" -q -r --json --from @$((s - 2)) --to @$((s + 2)) fleet >out 2>err; status=$?
    [ "$status" -eq 1 ] || fail "exit status $status: $(cat err)"
    grep -q "^keyaudit: 1 files in the folders are not keys: skipped$" err || fail "stderr: $(cat err)"
    python3 - out <<'PY' || fail "JSON lines"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
by = {l["file"]: l for l in lines}
assert len(lines) == len(by) == 304, len(lines)
assert by["fleet/sub/old.pub"]["status"] == "compromised" and by["fleet/sub/old.pub"]["reason"] == "seed"
assert by["fleet/sub/old.pub"]["libc"] == "glibc" and by["fleet/sub/old.pub"]["seed"] == 1700000000
assert by["fleet/shared-a.pub"]["shares_with"] == ["fleet/shared-b.pub"]
assert by["fleet/shared-b.pub"]["reason"] == "shared_prime"
assert by["fleet/fleet007.pub"]["same_key_as"] == ["fleet/sub/odd\nname: x"]
rest = [l for l in lines if l["status"] != "compromised"]
assert len(rest) == 301 and all(l["status"] == "not_found" for l in rest)
assert rest[0]["libcs"] == ["glibc", "freebsd", "musl"] and rest[0]["to"] == "2023-11-14T22:13:22Z"
PY
    # The same audit as text: a name that could break a line is quoted, and
    # the shared prime gives the key back, the smaller prime as P.
    "$keyaudit" -q -r --from @$((s - 2)) --to @$((s + 2)) fleet >out 2>err
    grep -Fqx "\$'fleet/sub/odd\\nname: x': not found from 2023-11-14 22:13:18 UTC to 2023-11-14 22:13:22 UTC (glibc, freebsd, musl); same key as fleet/fleet007.pub" out ||
        fail "text: $(grep odd out)"
    "$keyaudit" -q --recover fleet/shared-a.pub fleet/shared-b.pub --from @1 --to @2 >rec 2>err
    "$keygen" -c rec >/dev/null || fail "the shared prime's key is not valid"
    [ "$(sed -n 1,2p rec | tr -d '\tAuthP\n')" \< "$(sed -n 3,4p rec | tr -d '\tAuthQ\n')" ] ||
        [ "$(sed -n 1,2p rec | tr -d '\tAuthP\n' | wc -c)" -lt "$(sed -n 3,4p rec | tr -d '\tAuthQ\n' | wc -c)" ] ||
        fail "P is not the smaller prime"
    ;;
early)
    # The line of a key comes as soon as it is proven, not when the window
    # is done; a window whose only key is found at its start ends there.
    old $s key
    "$keygen" -o fresh
    # Writing the recovered key must not take the stop away from the audit.
    "$keyaudit" -q --recover -o rec --from @$s --to @$((s + 100000000)) key fresh 2>out &
    pid=$!
    for _ in $(seq 50); do grep -q "^key: COMPROMISED" out && break; sleep 0.1; done
    grep -q "^key: COMPROMISED" out || fail "no line within 5 s: $(cat out)"
    cmp -s rec key || fail "the key was not recovered as it was found"
    kill -INT $pid
    (sleep 5; kill -KILL $pid) >/dev/null 2>&1 &
    watchdog=$!
    wait $pid; status=$?
    kill $watchdog 2>/dev/null
    [ "$status" -eq 1 ] && grep -q "^keyaudit: interrupted$" out || fail "after SIGINT: status $status: $(cat out)"
    start=$(date +%s)
    "$keyaudit" -q --from @$s --to @$((s + 100000000)) key >out 2>err; status=$?
    expect 1 out "key: COMPROMISED: made at $when (seed $s, glibc)"
    [ $(($(date +%s) - start)) -lt 10 ] || fail "the search went on after its only key"
    ;;
usage)
    for args in "" "-" "--from @1 -" "--from yesterday key" "--to @4294967296 key" \
                "--from 2023-02-30 key" "--from @5 --to @4 key" "-o x key" "-0 key" "--days 0 key" "--days 2 --from @1 key" "--libc uclibc key" "--libc glibc, key"; do
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
