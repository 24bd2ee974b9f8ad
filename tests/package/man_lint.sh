#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# man_lint -- the man pages must format without a single warning.
#
# usage: man_lint.sh PAGE...
set -u
linters=0
status=0
for page in "$@"; do
    if command -v groff >/dev/null 2>&1; then
        linters=$((linters + 1))
        out=$(groff -man -ww -z "$page" 2>&1)
        [ -z "$out" ] || { echo "FAIL: groff on $page:" >&2; echo "$out" >&2; status=1; }
    fi
    if command -v mandoc >/dev/null 2>&1; then
        linters=$((linters + 1))
        out=$(mandoc -Tlint -W warning "$page" 2>&1)
        [ -z "$out" ] || { echo "FAIL: mandoc on $page:" >&2; echo "$out" >&2; status=1; }
    fi
done
if [ "$linters" -eq 0 ]; then
    echo "SKIP: neither groff nor mandoc is installed" >&2
    exit 77
fi
exit "$status"
