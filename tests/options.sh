#!/usr/bin/env bash
# keygen's command line, case by case from one table:
# options.sh KEYGEN CHECK_KEY NO_ENTROPY VERSION
keygen=$1 check_key=$2 no_entropy=$3 version=$4
. "$(dirname "$0")/lib.sh"
failed=0

# Checks run in the case's folder afterwards.
mode() { [ "$(stat -c %a "$1")" = "$2" ] || { echo "mode of $1 is $(stat -c %a "$1")"; return 1; }; }
valid() { "$check_key" <"$1"; }
same() { [ "$(cat "$1")" = "$2" ] || { echo "$1 changed"; return 1; }; }
only() { [ "$(ls -A | tr '\n' ' ')" = "${*:+$* }" ] || { echo "folder holds: $(ls -A)"; return 1; }; }
cmpfile() { cmp -s "$1" "$2" || { echo "$1 changed"; return 1; }; }
# A key beside its copy, made in the case's folder.
old_key() { "$keygen" -o "$1" && cp "$1" orig; }
# The run as an unprivileged user, who can enter and write a folder of
# mode 333 but not read it: root could, so root runs it as nobody.
as_nobody() {
    if [ "$(id -u)" -eq 0 ]; then
        chmod 755 "$work" && chown -R nobody "$1" &&
            wrap="setpriv --reuid=nobody --regid=nogroup --clear-groups --"
    fi
    chmod 333 "$1"
}
long=$(printf '%0250d' 0)
# Help and version must not touch the random source: this one fails.
no_random() { export LD_PRELOAD=$no_entropy ASAN_OPTIONS=verify_asan_link_order=0; }

# name | prepare (in the folder) | arguments | status | stdout | stderr's first line | check
cases=$(cat <<'TABLE'
no arguments       | :                              |           | 0 | key     |  | only
standard output    | :                              | -o -      | 0 | key     |  | only
help               | no_random                      | --help    | 0 | usage   |  | only
help, short        | no_random                      | -h        | 0 | usage   |  | only
version            | no_random                      | -V        | 0 | version |  | only
unknown option     | :                              | --frob    | 2 |         | keygen: unknown option: --frob | only
stray operand      | :                              | key       | 2 |         | keygen: unexpected argument: key | only
missing argument   | :                              | -o        | 2 |         | keygen: option needs an argument: -o | only
private under 000  | umask 000                      | -o key    | 0 |         |  | mode key 600 && valid key && only key
existing file      | echo old >key                  | -o key    | 1 |         | keygen: cannot write the key to key: File exists (-f replaces it) | same key old && only key
symbolic link      | ln -s target link              | -o link   | 1 |         | keygen: cannot write the key to link: a symbolic link, which is never followed | only link
force, link        | echo old >t && ln -s t link    | -f -o link | 1 |        | keygen: cannot write the key to link: a symbolic link, which is never followed | same t old && only link t
force replaces     | echo old >key; chmod 644 key   | -f -o key | 0 |         |  | mode key 600 && valid key && only key
missing folder     | :                              | -o no/key | 1 |         | keygen: cannot write the key to no/key: No such file or directory | only
size limit         | ulimit -f 0                    | -o key    | 1 |         | keygen: cannot write the key to key: File too large | only
size limit, force  | echo old >key; ulimit -f 0     | -f -o key | 1 |         | keygen: cannot write the key to key: File too large | same key old && only key
partial write      | wrap="prlimit --fsize=300 --"  | -o key    | 1 |         | keygen: cannot write the key to key: File too large | only
partial, force     | echo old >key; wrap="prlimit --fsize=300 --" | -f -o key | 1 | | keygen: cannot write the key to key: File too large | same key old && only key
empty file name    | :                              | -o ''     | 2 |         | keygen: -o needs a file name, not an empty one | only
argument to a flag | :                              | --check=k1 | 2 |        | keygen: option takes no argument: --check | only
public over input  | old_key key                    | -y -f -o key key | 1 |  | keygen: cannot write the public key to key: it is the file read | cmpfile key orig && only key orig
longest name       | echo old >$long                | -f -o $long | 0 |       |  | valid $long && only $long
write-only folder  | mkdir d && old_key d/key && as_nobody d | -f -o d/key | 1 | | keygen: cannot write the key to d/key: Permission denied | cmpfile d/key orig && [ "$(ls -A d)" = key ]
write-only, new    | mkdir d && as_nobody d         | -o d/key  | 1 |         | keygen: cannot write the key to d/key: Permission denied | [ -z "$(ls -A d)" ]
TABLE
)

trim() { local s=$1; s=${s#"${s%%[! ]*}"}; printf '%s' "${s%"${s##*[! ]}"}"; }

while IFS='|' read -r name prepare args status stdout stderr check; do
    name=$(trim "$name") prepare=$(trim "$prepare") args=$(trim "$args")
    status=$(trim "$status") stdout=$(trim "$stdout") stderr=$(trim "$stderr") check=$(trim "$check")
    dir=$work/case
    rm -rf "$dir" && mkdir "$dir"
    # Output goes through pipes, which a file-size limit does not touch.
    { (cd "$dir" && wrap="" && eval "$prepare" && eval "exec \$wrap \"\$keygen\" $args") 2>&1 >&3 3>&- | cat >"$work/err"
      echo "${PIPESTATUS[0]}" >"$work/status"; } 3>&1 | cat >"$work/out"
    why=""
    [ "$(cat "$work/status")" = "$status" ] || why="exit status $(cat "$work/status"), wanted $status"
    [ "$(head -n 1 "$work/err")" = "$stderr" ] || why="$why; stderr: $(head -n 1 "$work/err")"
    case $stdout in
    key) valid "$work/out" || why="$why; stdout is not a key" ;;
    usage) head -n 1 "$work/out" | grep -q '^usage: keygen ' || why="$why; stdout is not the usage" ;;
    version) [ "$(cat "$work/out")" = "keygen $version" ] || why="$why; stdout: $(cat "$work/out")" ;;
    *) [ -s "$work/out" ] && why="$why; stdout not empty" ;;
    esac
    if [ "$status" = 2 ]; then
        grep -q '^usage: keygen ' "$work/err" || why="$why; no usage on stderr"
    fi
    # A folder the case closed is opened for the check; its files stay.
    find "$dir" -type d -exec chmod u+rwx {} +
    result=$(cd "$dir" && eval "$check" 2>&1) || why="$why; $result"
    if [ -n "$why" ]; then
        echo "FAIL ($name): ${why#; }"
        failed=1
    fi
done <<<"$cases"
exit "$failed"
