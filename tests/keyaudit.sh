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

# The AuthN lines of the number N.
public_of() { python3 -c 'import sys; n = sys.argv[1]; print("".join("\tAuthN\t\t%s\n" % n[i:i + 50] for i in range(0, len(n), 50)), end="")' "$1"; }
n_of() { grep AuthN "$1" | tr -d '\tAuthN\n'; }
# The first probable prime from the value of a Python expression on, by
# the Miller-Rabin test of doc/entropy.py.
next_prime() {
    PYTHONPATH="$(dirname "$0")/../doc" python3 - "$1" <<'PY'
import sys
from entropy import is_probable_prime
n = eval(sys.argv[1])
while not is_probable_prime(n):
    n += 1
print(n)
PY
}
# The search as an unprivileged user, who cannot read what root can.
as_user() {
    chmod 755 "$work"
    if [ "$(id -u)" -eq 0 ]; then setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; else "$@"; fi
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
    # Every input is audited; one that cannot be read is reported, on
    # standard error too.
    old $s key
    printf 'junk\n' >junk
    "$keyaudit" -q "${window[@]}" missing key junk >out 2>err; status=$?
    expect 1 out "missing: error: No such file or directory
junk: error: not a key
key: COMPROMISED: made at $when (seed $s, glibc)"
    expect 1 err "keyaudit: missing: error: No such file or directory
keyaudit: junk: error: not a key"
    # A window that holds no second is an error, not a clean audit.
    "$keygen" -o recent
    "$keyaudit" -q --to 2015-12-31 recent >out 2>err; status=$?
    grep -Eq '^recent: error: the window from 20[0-9-]+ [0-9:]+ UTC to 2015-12-31 23:59:59 UTC is empty$' out ||
        fail "empty window: $(cat out)"
    [ "$status" -eq 2 ] && ! grep -q "no key to audit" err || fail "empty window: exit status $status: $(cat err)"
    # A file's time outside the 32-bit seconds gives no window at all.
    cp recent past && touch -d @-100000 past && cp recent future && touch -d @6000000000 future
    "$keyaudit" -q past future >out 2>err; status=$?
    [ "$status" -eq 2 ] && [ "$(grep -c "is empty of 32-bit seconds$" out)" -eq 2 ] || fail "outside: $(cat out)"
    # A closed standard input is an input that cannot be read.
    timeout 60 "$keyaudit" -q "${window[@]}" - <&- >out 2>err; status=$?
    expect 2 out "(standard input): error: Bad file descriptor"
    "$keygen" -o fresh
    "$keyaudit" -q "${window[@]}" fresh junk >out 2>err; status=$?
    [ "$status" -eq 2 ] || fail "status $status with an unreadable input and no compromised key"
    # A list's line that names no file is an error of its own.
    printf 'fresh\0x\nfresh\n-\n' >list
    "$keyaudit" -q "${window[@]}" --files-from list >out 2>err; status=$?
    expect 2 out "'list:1': error: a name with a NUL byte
'list:3': error: '-' in a list names no file
fresh: not found from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC (glibc, freebsd, musl)"
    ;;
folders)
    # What cannot be listed or examined is an error, one line each; links
    # to folders and dangling links are not followed; a file met twice is
    # audited once; a folder without keys is no all-clear.
    mkdir -p d/closed d/sub empty && old $s d/closed/key && "$keygen" -o d/fresh
    echo "ssh-ed25519 AAAA user@host" >d/id.pub
    ln d/fresh d/sub/hard && ln -s ../fresh d/sub/soft && ln -s .. d/sub/up && ln -s gone d/sub/dangling
    chmod 000 d/closed && chmod 644 d/fresh
    as_user "$keyaudit" -q -r "${window[@]}" d >out 2>err; status=$?
    expect 2 out "d/closed: error: cannot list the folder: Permission denied
d/id.pub: skipped: not a key
d/sub/dangling: skipped: a dangling link
d/sub/hard: skipped: the same file as d/fresh
d/sub/soft: skipped: the same file as d/fresh
d/sub/up: skipped: a link to a folder, not followed
d/fresh: not found from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC (glibc, freebsd, musl)"
    grep -Fqx "keyaudit: d/closed: error: cannot list the folder: Permission denied" err || fail "stderr: $(cat err)"
    chmod 000 d
    as_user "$keyaudit" -q -r "${window[@]}" d >out 2>err; status=$?
    expect 2 out "d: error: cannot list the folder: Permission denied"
    chmod 755 d d/closed
    # A folder and a list that overlap, and the same name twice.
    printf 'd/fresh\nd/fresh\n./d/fresh\n' >list
    "$keyaudit" -q -r "${window[@]}" --files-from list d/fresh >out 2>err; status=$?
    [ "$status" -eq 0 ] && [ "$(grep -c 'not found' out)" -eq 1 ] && ! grep -q "same key as" out ||
        fail "overlap: status $status: $(cat out)"
    # A FIFO in a list is not waited on; a folder in a list is walked.
    mkfifo fifo && mkdir e && cp d/fresh e/ && printf 'fifo\ne\n' >list
    "$keyaudit" -q -r "${window[@]}" --files-from list >out 2>err; status=$?
    expect 0 out "fifo: skipped: not a regular file
e/fresh: not found from 2023-11-14 22:13:15 UTC to 2023-11-14 22:13:25 UTC (glibc, freebsd, musl)"
    "$keyaudit" -q -r "${window[@]}" empty >out 2>err; status=$?
    expect 2 err "keyaudit: no key to audit"
    ;;
damaged)
    # Old files as they have become: CR LF and blanks are read; a key that
    # is damaged is an error, never skipped; an OpenSSH key in a list is
    # skipped.
    old $s key
    sed 's/$/\r/' key >crlf && { echo; sed 's/^/  /; s/$/ /' key; echo; } >blanks
    head -c 300 key >truncated && head -n 6 key >short
    echo "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIA user@host" >id.pub
    printf '%s\n' crlf blanks truncated short id.pub >list
    "$keyaudit" -q "${window[@]}" --files-from list >out 2>err; status=$?
    expect 1 out "truncated: error: line 6: last line has no line end
short: error: line 7: missing line: AuthN expected
id.pub: skipped: not a key
crlf: COMPROMISED: made at $when (seed $s, glibc); same key as blanks
blanks: COMPROMISED: made at $when (seed $s, glibc); same key as crlf"
    grep -Fqx "keyaudit: id.pub: skipped: not a key" err || fail "stderr: $(cat err)"
    # However many blank lines come first, the key is read.
    mkdir padded && { yes '' | head -n 20000; cat key; } >padded/key && cp id.pub padded/
    "$keyaudit" -q -r "${window[@]}" padded >out 2>err; status=$?
    expect 1 out "padded/id.pub: skipped: not a key
padded/key: COMPROMISED: made at $when (seed $s, glibc)"
    "$keyaudit" -q --json "${window[@]}" id.pub >out 2>err; status=$?
    [ "$status" -eq 2 ] && grep -q '"status":"error"' out || fail "a FILE named that is not a key: $(cat out)"
    "$keyaudit" -q --json "${window[@]}" --files-from list >out 2>err
    grep -Fqx '{"file":"id.pub","status":"skipped","reason":"not a key"}' out || fail "JSON: $(cat out)"
    ;;
invalid)
    # Numbers that are not keys are never compared, searched or recovered.
    "$old_keygen" $s >key
    p=$(sed -n 1,2p key | tr -d '\tAuthP\n') q=$(sed -n 3,4p key | tr -d '\tAuthQ\n')
    small=$(python3 -c "print($p * int(str($q)[:52]))")
    public_of "$small" >n1 && public_of "$(python3 -c "print($small * 1000003)")" >n2
    public_of "$(python3 -c "print($(n_of key) * 4 // 4 * 2)")" >even
    public_of "$(python3 -c "print(3 * int(str($p * $q)[:199]) | 1)")" >tiny
    "$keygen" -o other && { sed -n 1,4p key; grep AuthN other; } >mixed
    "$keyaudit" -q --recover "${window[@]}" n1 n2 even tiny mixed key >rec 2>out; status=$?
    grep -Eq "^n1: error: not a valid key: N has 15[12] digits, not 197 to 200$" out &&
        grep -q "^even: error: not a valid key: N is even$" out &&
        grep -q "^tiny: error: not a valid key: N has a prime factor below 1000000$" out &&
        grep -q "^mixed: error: not a valid key: N is not P\*Q$" out &&
        grep -q "^key: COMPROMISED: made at" out || fail "status $status: $(cat out)"
    [ "$status" -eq 1 ] && [ ! -s rec ] || fail "status $status, recovered: $(cat rec)"
    # A shared factor of a modulus of three primes makes no key to recover.
    t=$(next_prime "3 * 10**48")
    three=$(python3 -c "print($(next_prime "10**75") * $(next_prime "3 * 10**74") * $t)")
    other=$(python3 -c "print($t * $(next_prime "10**150"))")
    public_of "$three" >three && public_of "$other" >other
    "$keyaudit" -q --recover "${window[@]}" three other >rec 2>out; status=$?
    [ "$status" -eq 1 ] && [ ! -s rec ] && grep -q "^keyaudit: cannot recover three: not a key of two primes: P has" out ||
        fail "three primes: status $status: $(cat out rec)"
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
    # Stopped in the search: each line says what was searched, and one
    # command goes on from the first second not searched, every option
    # kept, the found key's seed searched again.
    old $s key
    "$keygen" -o fresh && cp fresh -- '--json ~x'
    "$keyaudit" -q -j 2 --from @$s --to @$((s + 100000000)) key fresh -- '--json ~x' >out 2>err &
    pid=$!
    wait_for grep -qs "^key: COMPROMISED" out
    kill -TERM $pid
    wait $pid; status=$?
    [ "$status" -eq 1 ] || fail "exit status $status, wanted 1"
    grep -Eq "^fresh: not found from $when to 2023-1[1-2]-[0-9]+ [0-9:]+ UTC \(glibc, freebsd, musl\) \(interrupted\); same key as '--json ~x'\$" out ||
        fail "report: $(cat out)"
    [ "$(wc -l <out)" -eq 3 ] || fail "report: $(cat out)"
    grep -Eqx "keyaudit: to go on: keyaudit -q -j 2 --from @$s --to @$((s + 100000000)) --resume @1700[0-9]+,@$s -- key fresh '--json ~x'" err ||
        fail "stderr: $(cat err)"
    # What cannot be read again gets no command.
    printf 'key\nfresh\n' | "$keyaudit" -q --from @$s --to @$((s + 100000000)) --files-from - >out 2>err &
    pid=$!
    wait_for grep -qs "^key: COMPROMISED" out
    kill -TERM $pid; wait $pid
    grep -q "^keyaudit: no command can go on: the inputs came from standard input or a pipe$" err ||
        fail "standard input: $(cat err)"
    ;;
compare-stop)
    # A stop while the keys are compared: nothing is searched, every key
    # says so, and the command to go on is the same command.
    command -v gdb >/dev/null || fail "gdb is not installed"
    mkdir fleet && "$make_fleet" fleet 2 || fail "make_fleet"
    ASAN_OPTIONS=detect_leaks=0 gdb -batch -q -ex "handle SIGTERM nostop noprint pass" \
        -ex "break keyaudit::find_shared_primes" -ex "run -q --from @$s --to @$s fleet/* >out 2>err" \
        -ex delete -ex "signal SIGTERM" "$keyaudit" >gdb.log 2>&1
    grep -q "exited with code 0217" gdb.log || fail "not 143: $(tail -3 gdb.log)"
    status=0
    expect 0 out "fleet/fleet000.pub: not searched (interrupted)
fleet/fleet001.pub: not searched (interrupted)
fleet/shared-a.pub: not searched (interrupted)
fleet/shared-b.pub: not searched (interrupted)"
    grep -Fqx "keyaudit: to go on: keyaudit -q --from @$s --to @$s -- fleet/fleet000.pub fleet/fleet001.pub fleet/shared-a.pub fleet/shared-b.pub" err ||
        fail "stderr: $(cat err)"
    ;;
resume)
    # Going on from a point gives the report a run without a stop gives.
    old $((s - 3)) early && old $((s + 3)) late && "$keygen" -o fresh
    "$make_fleet" . 2 && mv shared-a.pub a.pub && mv shared-b.pub b.pub
    args=(-q --json "${window[@]}" early late fresh a.pub b.pub)
    "$keyaudit" "${args[@]}" >whole 2>&1; want=$?
    "$keyaudit" --resume @$s,@$((s - 3)) "${args[@]}" >resumed 2>&1; status=$?
    [ "$status" -eq "$want" ] && cmp -s whole resumed || fail "status $status, $want: $(diff whole resumed)"
    # The command printed after a stop in the search, reached by a
    # breakpoint on the line of the key found in its third block, goes on
    # to the same report.
    command -v gdb >/dev/null || fail "gdb is not installed"
    old $((s + 150)) later
    args=(-q -j 1 --json --from @$((s - 5)) --to @$((s + 2000)) early later fresh)
    "$keyaudit" "${args[@]}" >whole 2>/dev/null
    ASAN_OPTIONS=detect_leaks=0 gdb -batch -q -ex "handle SIGTERM nostop noprint pass" \
        -ex "break keyaudit::report_line if i == 1" -ex "run ${args[*]} >out 2>err" \
        -ex delete -ex "signal SIGTERM" "$keyaudit" >gdb.log 2>&1
    grep -q "exited with code 01]" gdb.log || fail "not 1: $(tail -3 gdb.log)"
    hint=$(sed -n 's/^keyaudit: to go on: keyaudit //p' err)
    [[ $hint =~ --resume\ @([0-9]+),@$((s - 3)),@$((s + 150))\ --\ early\ later\ fresh$ ]] &&
        [ "${BASH_REMATCH[1]}" -gt $((s + 186)) ] || fail "stderr: $(cat err)"
    eval "\"\$keyaudit\" $hint" >resumed 2>/dev/null
    cmp -s whole resumed || fail "resumed: $(diff whole resumed)"
    ;;
blocked-read)
    # A FIFO with no writer, a pipe that never ends, a list on a FIFO and an
    # endless list: the stop is not held back, and every input has its line.
    mkfifo fifo list
    "$keyaudit" -q --from @0 --to @1 fifo >out 2>err &
    pid=$!
    exec 4>fifo  # the open returns once keyaudit holds the FIFO
    kill -TERM $pid; wait $pid; status=$?
    exec 4>&-
    expect 143 out "fifo: not read (interrupted)"
    grep -Fqx 'keyaudit: to go on: keyaudit -q --from @0 --to @1 -- fifo' err || fail "stderr: $(cat err)"
    "$keygen" -o key
    "$keyaudit" -q --from @0 --to @1 --files-from list key >out 2>err &
    pid=$!
    exec 4>list  # keyaudit is reading the list
    kill -TERM $pid; wait $pid; status=$?
    exec 4>&-
    expect 143 out "key: not read (interrupted)
list: not read (interrupted)"
    yes key | "$keyaudit" -q --from @0 --to @1 --files-from - >out 2>err &
    pid=$!
    wait_for awk '$1 == "rchar:" && $2 > 1000000 { found = 1 } END { exit !found }' /proc/$pid/io
    kill -TERM $pid; wait $pid; status=$?
    expect 143 out "key: not read (interrupted)
(standard input): not read (interrupted)"
    ;;
signal-in-report)
    # A signal once the search is over stops nothing: the report of a
    # thousand keys, to a pipe not yet read, comes whole.
    "$keygen" -o fresh && "$keygen" -y fresh >pub
    mkdir keys && tee $(seq -f 'keys/p%03g' 1000) <pub >/dev/null
    mkfifo report
    "$keyaudit" -q --from @$s --to @$s keys/* >report 2>err &
    pid=$!
    exec 3<report
    IFS= read -r first <&3  # a line not found: the search is over
    kill -TERM $pid
    { echo "$first"; cat <&3; } >out
    wait $pid; status=$?
    [ "$status" -eq 0 ] || fail "exit status $status, wanted 0; stderr: $(cat err)"
    [ "$(wc -l <out)" -eq 1000 ] || fail "$(wc -l <out) lines"
    grep -q "to go on" err && fail "a hint with nothing left: $(cat err)"
    ;;
statuses)
    # 1 for a compromised key whatever else happened.
    old $s key && "$keygen" -o fresh
    "$keyaudit" -q "${window[@]}" key fresh >/dev/full 2>err; status=$?
    expect 1 err "keyaudit: cannot write the report: No space left on device
keyaudit: a key is compromised; its line may not have been written"
    "$keyaudit" -q "${window[@]}" fresh >/dev/full 2>err; status=$?
    [ "$status" -eq 2 ] || fail "a report not written: status $status"
    "$keyaudit" -q "${window[@]}" key fresh | true; status=${PIPESTATUS[0]}
    [ "$status" -eq 1 ] || fail "a reader gone: status $status"
    # No thread can start: the search runs all the same.
    chmod 644 fresh
    as_user prlimit --nproc=1 "$keyaudit" -q -j 2 "${window[@]}" key fresh >out 2>err; status=$?
    [ "$status" -eq 1 ] && [ "$(wc -l <out)" -eq 2 ] || fail "no thread: status $status: $(cat out err)"
    # A stop while the recovered key is synced: the key is complete, every
    # line is written.
    ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=2000000:when=1 \
        "$keyaudit" -q --recover -o rec --from @$s --to @$((s + 100000000)) key fresh 2>out &
    tracer=$!
    wait_for test -s rec
    pkill -TERM -P $tracer
    wait $tracer; status=$?
    [ "$status" -eq 1 ] && cmp -s rec key && [ "$(grep -cE '^(key|fresh): ' out)" -eq 2 ] ||
        fail "recover -o: status $status: $(cat out)"
    ;;
ignored)
    # A stop signal ignored at the start stays ignored, as under nohup:
    # SIGINT, then SIGTERM, stop the audit by SIGTERM.
    "$keygen" -o fresh && mkfifo list
    (trap '' INT; exec "$keyaudit" -q --from @$s --to @$((s + 100000000)) --files-from list >out 2>err) &
    pid=$!
    exec 4>list  # keyaudit holds the list, its handlers in place
    echo fresh >&4 && exec 4>&-
    kill -INT $pid; kill -TERM $pid; wait $pid; status=$?
    [ "$status" -eq 143 ] || fail "status $status: $(cat out err)"
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
memory-limit)
    # Wherever memory runs out (the threads' stacks, the reading, the
    # checks, the comparison, the search), the status says so: never 0
    # unless every input has its "not found" line.
    mkdir fleet && "$make_fleet" fleet 300 && rm fleet/shared-?.pub || fail "make_fleet"
    for j in 1 2; do
        for limit in 8000 12000 16000 20000 25000 30000; do
            (ulimit -v $limit; exec "$keyaudit" -q -j $j --from @1 --to @2 -r fleet >out 2>err); status=$?
            case $status in
            0) [ "$(grep -c ': not found from ' out)" -eq 300 ] || fail "-j $j, $limit KB: status 0 with $(wc -l <out) lines" ;;
            2) grep -q "^keyaudit: .*out of memory" err || fail "-j $j, $limit KB: status 2: $(head -3 err)" ;;
            *) fail "-j $j, $limit KB: status $status: $(head -3 err)" ;;
            esac
        done
    done
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
    grep -Fqx "keyaudit: fleet/notes.txt: skipped: not a key" err || fail "stderr: $(cat err)"
    python3 - out <<'PY' || fail "JSON lines"
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
by = {l["file"]: l for l in lines}
assert len(lines) == len(by) == 305, len(lines)
assert by["fleet/notes.txt"] == {"file": "fleet/notes.txt", "status": "skipped", "reason": "not a key"}
assert by["fleet/sub/old.pub"]["status"] == "compromised" and by["fleet/sub/old.pub"]["reason"] == "seed"
assert by["fleet/sub/old.pub"]["libc"] == "glibc" and by["fleet/sub/old.pub"]["seed"] == 1700000000
assert by["fleet/shared-a.pub"]["shares_with"] == ["fleet/shared-b.pub"]
assert by["fleet/shared-a.pub"]["shares_with_count"] == 1
assert by["fleet/shared-a.pub"]["shared_prime_group"] == by["fleet/shared-b.pub"]["shared_prime_group"]
assert by["fleet/shared-b.pub"]["reason"] == "shared_prime"
assert by["fleet/fleet007.pub"]["same_key_as"] == ["fleet/sub/odd\nname: x"]
rest = [l for l in lines if l["status"] not in ("compromised", "skipped")]
assert len(rest) == 301 and all(l["status"] == "not_found" for l in rest)
assert rest[0]["libcs"] == ["glibc", "freebsd", "musl"] and rest[0]["to"] == "2023-11-14T22:13:22Z"
PY
    # The same audit as text: a name that could break a line is quoted, and
    # the shared prime gives the key back, the smaller prime as P.
    "$keyaudit" -q -r --from @$((s - 2)) --to @$((s + 2)) fleet >out 2>err
    grep -Fqx "\$'fleet/sub/odd\\nname: x': not found from 2023-11-14 22:13:18 UTC to 2023-11-14 22:13:22 UTC (glibc, freebsd, musl); same key as fleet/fleet007.pub" out ||
        fail "text: $(grep odd out)"
    # Keys are checked on threads beside the reading: one made invalid
    # past the first batches keeps its line, and one thread or two give
    # the same report.
    sed -i '$ s/.$/4/' fleet/fleet299.pub
    # A prime N and 2^653 - 1 (composite, yet 2 to the N - 1 is 1 modulo
    # it) in the lanes of the vector test: GMP has the last word on both.
    public_of "$(next_prime "10**199")" >fleet/fleet150.pub
    public_of "$(python3 -c 'print(2**653 - 1)')" >fleet/fleet151.pub
    "$keyaudit" -q -j 1 -r --from @$((s - 2)) --to @$((s + 2)) fleet >one 2>&1
    "$keyaudit" -q -j 2 -r --from @$((s - 2)) --to @$((s + 2)) fleet >two 2>&1
    grep -Fqx "fleet/fleet299.pub: error: not a valid key: N is even" one || fail "invalid key: $(grep 299 one)"
    grep -Fqx "fleet/fleet150.pub: error: not a valid key: N is prime" one || fail "prime N: $(grep 150 one)"
    grep -Eq "^fleet/fleet151.pub: not found " one || fail "pseudoprime N: $(grep 151 one)"
    cmp -s one two || fail "-j 1 and -j 2 differ: $(diff one two | head -5)"
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
    wait_for grep -qs "^key: COMPROMISED" out
    cmp -s rec key || fail "the key was not recovered as it was found"
    kill -TERM $pid
    wait $pid; status=$?
    [ "$status" -eq 1 ] && grep -q "^keyaudit: interrupted$" out || fail "after SIGTERM: status $status: $(cat out)"
    "$keyaudit" -q --from @$s --to @$((s + 100000000)) key >out 2>err; status=$?
    expect 1 out "key: COMPROMISED: made at $when (seed $s, glibc)"
    ;;
usage)
    for args in "" "-" "--from @1 -" "--from yesterday key" "--to @4294967296 key" \
                "--from 2023-02-30 key" "--from @5 --to @4 key" "-o x key" "-0 key" "--days 0 key" "--days 2 --from @1 key" "--days 1 --from @1 key" "--resume 5 key" "--libc uclibc key" "--libc glibc, key" \
                "--index i --from @1 key" "--index i --days 2 key" "--index i --libc musl key" "--index i --resume @5 key" \
                "--make-index i --from @1" "--make-index i --from @1 --to @2 key" "--make-index i --from @1 --to @2 --json" \
                "--merge-index i" "--merge-index i --from @1 a b" "--make-index i --merge-index j a"; do
        # shellcheck disable=SC2086
        "$keyaudit" $args </dev/null >out 2>err; status=$?
        [ "$status" -eq 2 ] || fail "'$args': exit status $status"
        grep -q '^usage: keyaudit ' err || fail "'$args': no usage"
        [ -s out ] && fail "'$args': wrote to standard output"
    done
    "$keyaudit" -V >out || fail "-V"
    grep -q '^keyaudit [0-9]' out || fail "version: $(cat out)"
    ;;
index)
    # An index of 300 seconds finds what a replay of them finds, line for
    # line and in JSON: a key of each stream inside, one at either end; a
    # key a second outside and a fresh key are not in it.
    from=$s to=$((s + 299)) span="from $when to 2023-11-14 22:18:19 UTC (glibc, freebsd, musl)"
    "$keyaudit" -q -j 2 --make-index idx --from @$from --to @$to 2>err || fail "make-index: $(cat err)"
    [ "$(stat -c %a idx)" = 644 ] || fail "index mode $(stat -c %a idx)"
    for l in glibc freebsd musl; do "$old_keygen" $((s + 123)) $l >k-$l || fail "old_keygen $l"; done
    "$old_keygen" $to musl >k-last || fail "old_keygen musl"
    old $from k-first; old $((from - 1)) k-before; old $((to + 1)) k-after
    "$keygen" -o k-fresh || fail "keygen"
    "$keyaudit" -q -j 2 --from @$from --to @$to k-* >replayed 2>/dev/null
    "$keyaudit" -q --json --from @$from --to @$to k-* >replayed.json 2>/dev/null
    "$keyaudit" -q --index idx k-* >out 2>err; status=$?
    [ "$status" -eq 1 ] || fail "exit status $status: $(cat err)"
    diff <(grep COMPROMISED replayed) <(grep COMPROMISED out) >/dev/null || fail "found otherwise: $(cat out)"
    [ "$(grep -c ': COMPROMISED: made at ' out)" -eq 5 ] || fail "not all found: $(cat out)"
    [ "$(grep -cx "k-[a-z]*: not found in the index $span" out)" -eq 3 ] || fail "not-found lines: $(cat out)"
    "$keyaudit" -q --json --index idx k-* >out.json 2>/dev/null
    diff <(grep compromised replayed.json) <(grep compromised out.json) >/dev/null || fail "JSON: $(cat out.json)"
    grep -q '^{"file":"k-fresh","status":"not_found","from":"2023-11-14T22:13:20Z","to":"2023-11-14T22:18:19Z","libcs":\["glibc","freebsd","musl"\],"index":true,' out.json ||
        fail "JSON of a key not found: $(cat out.json)"
    "$keyaudit" -q --index idx k-fresh >/dev/null 2>&1 || fail "a fresh key alone: exit status $?"
    # Two shards, given apart or merged, report the same.
    "$keyaudit" -q --make-index s1 --from @$from --to @$((from + 99)) || fail "shard 1"
    "$keyaudit" -q --make-index s2 --from @$((from + 100)) --to @$to || fail "shard 2"
    "$keyaudit" --merge-index merged s2 s1 || fail "merge"
    "$keyaudit" -q --index merged k-* >by-merged 2>&1
    "$keyaudit" -q --index s1 --index s2 k-* >by-shards 2>&1
    cmp -s out by-merged && cmp -s out by-shards || fail "shards and merge differ: $(cat by-merged by-shards)"
    # With a gap, the line says what is covered.
    "$keyaudit" -q --index s2 --index s1 --index idx k-fresh >/dev/null || fail "overlapping indexes"
    rm s1 && "$keyaudit" -q --make-index s1 --from @$from --to @$((from + 49)) --libc musl || fail "shard 1 again"
    "$keyaudit" -q --index s1 --index s2 k-fresh >out 2>err; status=$?
    expect 0 out "k-fresh: not found in the index from 2023-11-14 22:15:00 UTC to 2023-11-14 22:18:19 UTC (glibc, freebsd) and from $when to 2023-11-14 22:14:09 UTC and from 2023-11-14 22:15:00 UTC to 2023-11-14 22:18:19 UTC (musl)"
    # A damaged index is refused before any line: truncated, a bit flipped
    # where every lookup reads, another version.
    head -c 20000 idx >truncated
    python3 -c 'import sys, zlib
b = bytearray(open("idx", "rb").read())
f = bytearray(b); f[2 * 4096 + 7] ^= 4; open("flipped", "wb").write(f)
b[8] = 2; b[4092:4096] = zlib.crc32(bytes(b[:4092])).to_bytes(4, "little"); open("version", "wb").write(b)'
    # Not even the lines of keys that share a prime or of a missing file.
    "$make_fleet" . 2 >/dev/null || fail "make_fleet"
    for bad in truncated flipped version; do
        "$keyaudit" -q --index $bad shared-a.pub shared-b.pub missing k-fresh k-glibc >out 2>err; status=$?
        [ "$status" -eq 2 ] || fail "$bad: exit status $status"
        [ -s out ] && fail "$bad: a report: $(cat out)"
        grep -q "^keyaudit: $bad: not a usable index: " err || fail "$bad: $(cat err)"
    done
    # The header of a window of 2^22 * 10 seconds, blocks all zero, is an
    # index's: it is refused for a block it reads, not for its header.
    python3 -c 'import zlib
c = 41943040; o = (c - 1).bit_length(); b = min(26, (c // 40).bit_length() - 1); f = b + 38 - o
blocks = 1 + -(-2 ** b // 818) + -(-c // (4092 * 8 // (f - b + o)))
h = bytearray(4092); h[0:8] = b"KAIX\r\n\x1a\n"
for at, size, v in ((8, 4, 1), (12, 4, 4096), (16, 8, blocks * 4096), (24, 4, 0), (28, 4, c - 1), (32, 4, f), (36, 4, 1), (40, 8, c)):
    h[at:at + size] = v.to_bytes(size, "little")
with open("wide", "wb") as out:
    out.write(h + zlib.crc32(h).to_bytes(4, "little")); out.truncate(blocks * 4096)'
    "$keyaudit" -q --index wide k-fresh >out 2>err; status=$?
    [ "$status" -eq 2 ] && grep -Eqx "keyaudit: wide: not a usable index: block [0-9]+ is damaged" err ||
        fail "a wide window: $status, $(cat err)"
    # One N in two files, made at seeds 0 and 1 (glibc's srandom takes 0
    # for 1): the lines of a replay, in its order.
    old 0 z0 && old 1 z1
    "$keyaudit" -q --make-index z --from @0 --to @10 || fail "index of 1970"
    "$keyaudit" -q --index z z1 z0 >out 2>&1
    "$keyaudit" -q --from @0 --to @10 z1 z0 >replayed 2>&1
    cmp -s out replayed || fail "one N twice: $(cat out replayed)"
    # Cut short while it is read, and a FIFO, which is not waited on.
    command -v gdb >/dev/null || fail "gdb is not installed"
    cp idx cut
    ASAN_OPTIONS=detect_leaks=0 gdb -batch -q -ex "handle SIGBUS nostop noprint pass" \
        -ex "break keyaudit::index_file::candidates" -ex "run -q --index cut k-fresh >out 2>err" -ex delete \
        -ex "shell truncate -s 4096 cut" -ex continue "$keyaudit" >gdb.log 2>&1
    grep -q "exited with code 02" gdb.log || fail "cut short: $(tail -3 gdb.log)"
    [ -s out ] && fail "cut short: a report: $(cat out)"
    grep -qx "keyaudit: cut: not a usable index: cut short while it was read" err || fail "cut short: $(cat err)"
    mkfifo fifo && "$keyaudit" -q --index fifo k-fresh >out 2>err; status=$?
    expect 2 err "keyaudit: fifo: not a usable index: not a regular file"
    ;;
index-stop)
    # The index is written beside its name, which it takes only complete:
    # not while the file is flushed to disk.
    command -v strace >/dev/null || fail "strace is not installed"
    mkdir beside && cd beside || fail "mkdir"
    ASAN_OPTIONS=detect_leaks=0 strace -f -o /dev/null -e inject=fsync:delay_enter=3000000:when=1 \
        "$keyaudit" -q -j 1 --make-index idx --from @$s --to @$((s + 999)) --libc glibc &
    pid=$!
    wait_for compgen -G '.keyfile-*' >/dev/null
    [ -e idx ] && fail "the name before the index is complete"
    wait $pid || fail "make-index under strace: $?"
    [ -s idx ] && [ -z "$(compgen -G '.keyfile-*')" ] || fail "not in place: $(ls -A)"
    cd .. || fail "cd"
    # A stop while the index is made or written leaves no file.
    command -v gdb >/dev/null || fail "gdb is not installed"
    mkdir out && cd out || fail "mkdir"
    for phase in keyaudit::next_primes keyaudit::write_index; do
        ASAN_OPTIONS=detect_leaks=0 gdb -batch -q -ex "handle SIGTERM nostop noprint pass" \
            -ex "break $phase" -ex "run -q -j 2 --make-index idx --from @$s --to @$((s + 999))" \
            -ex delete -ex "signal SIGTERM" "$keyaudit" >../gdb.log 2>&1
        grep -q "terminated with signal SIGTERM" ../gdb.log || fail "$phase: $(tail -3 ../gdb.log)"
        [ -z "$(ls -A)" ] || fail "$phase: left $(ls -A)"
    done
    ;;
*)
    fail "unknown case"
    ;;
esac
exit 0
