#!/usr/bin/env bash
# The man page renders without a single groff warning and has the sections a
# reader looks for: manpage.sh PAGE
page=$1
. "$(dirname "$0")/lib.sh"
set -e
warnings=$(groff -t -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" SECURITY FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || fail "no $section section"
done
