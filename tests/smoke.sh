#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs both tools on a machine without a display hub: they must print
# nothing on either stream and exit with status 0.
set -u
portcycle=$1 hubsurvey=$2
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
# Never reset real hardware: this test is for machines without a display hub.
for dev in /sys/bus/usb/devices/*; do
    if [ "$(cat "$dev/idVendor" 2>/dev/null)" = 04b3 ] && [ "$(cat "$dev/idProduct" 2>/dev/null)" = 4675 ]; then
        echo "SKIP: this machine has a display hub ($dev)"
        exit 77
    fi
done
fail=0
for cmd in "$hubsurvey" "$portcycle" "$portcycle 3000" "$portcycle 3000 SERIAL" "$hubsurvey extra args"; do
    $cmd >"$tmp/out" 2>"$tmp/err"
    rc=$?
    if [ "$rc" -ne 0 ] || [ -s "$tmp/out" ] || [ -s "$tmp/err" ]; then
        echo "FAIL: '$cmd' exited $rc" >&2
        cat "$tmp/out" "$tmp/err" >&2
        fail=1
    fi
done
exit $fail
