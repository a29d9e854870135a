# Sourced by the end-to-end tests: a private work folder, removed at exit
# whatever its modes, and fail, which names the case when there is one.
set -u
work=$(mktemp -d)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL${case_name:+ ($case_name)}: $*" >&2; exit 1; }
