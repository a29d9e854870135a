# Sourced by the end-to-end tests: a private work folder, removed at exit
# whatever its modes, and fail, which names the case when there is one.
set -u
work=$(mktemp -d)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL${case_name:+ ($case_name)}: $*" >&2; exit 1; }
# wait_for COMMAND...: polls until COMMAND succeeds, for at most a minute.
wait_for() {
    local tries=3000
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "waited a minute for: $*"
        sleep 0.02
    done
}
