#!/usr/bin/env bash
# Fails if the program names a folder it was built in:
# no_build_folders.sh PROGRAM FOLDER...
set -eu
program=$1
shift
for folder; do
    if grep -qaF -- "$folder" "$program"; then
        echo "FAIL: $program contains $folder:" >&2
        strings -a "$program" | grep -F -- "$folder" | head -5 >&2
        exit 1
    fi
done
