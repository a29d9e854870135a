#!/usr/bin/env bash
# The man page renders without a single groff warning and has the sections a
# reader looks for: manpage.sh PAGE
set -eu
page=$1
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "FAIL: groff warns: $warnings" >&2; exit 1; }
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" SECURITY FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || { echo "FAIL: no $section section" >&2; exit 1; }
done
