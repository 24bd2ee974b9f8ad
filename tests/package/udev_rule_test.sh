#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# udev_rule_test -- run the configured udev rule through `udevadm test` on
# emulated USB devices and check which of them it gives to the group.
#
# usage: udev_rule_test.sh RULE_FILE GROUP
#
# udevadm only reads rules from the system's rule directories and writes its
# results below /run and /dev, so the test runs in a private mount namespace
# where those directories are scratch copies; umockdev supplies /sys. Nothing
# on the host changes. Needs root, unshare(1), udevadm and umockdev-run.
set -u
rule_file=$1 group=$2

skip() {
    echo "SKIP: $*" >&2
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root for a private mount namespace"
for tool in unshare mount udevadm umockdev-run getent; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not available"
done
gid=$(getent group "$group" | cut -d: -f3)
[ -n "$gid" ] || skip "group '$group' does not exist on this machine"

work=$(mktemp -d "${TMPDIR:-/tmp}/portcycle-udev.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
unshare --mount true 2>/dev/null || skip "cannot create a mount namespace here"

# One emulated USB device per case: kernel name, vendor, product, and whether
# the rule must give it to the group.
cases='
1-1 04b3 4675 yes
1-2 04b3 4676 yes
1-3 04b3 4677 yes
1-4 04b3 4678 yes
1-5 04b3 4679 yes
1-6 04e7 0009 yes
1-7 04e7 0030 yes
1-8 04b3 4674 no
1-9 04b3 467a no
1-10 04e7 0020 no
1-11 04e7 0300 no
1-12 1234 4675 no
1-13 04e8 0030 no
'
n=1
printf '%s\n' "$cases" | while read -r name vendor product _; do
    [ -n "$name" ] || continue
    n=$((n + 1))
    cat <<DEVICE
P: /devices/pci0000:00/usb1/$name
N: bus/usb/001/$(printf %03d $n)
E: DEVNAME=/dev/bus/usb/001/$(printf %03d $n)
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
E: MAJOR=189
E: MINOR=$((n - 1))
A: idVendor=$vendor
A: idProduct=$product
A: busnum=1
A: devnum=$n

DEVICE
done >"$work/devices.umockdev"

mkdir -p "$work/empty" "$work/realdev"
# Runs "$@" with the rule as the only udev rule, a scratch /run and /dev.
cat >"$work/isolated.sh" <<'SCRIPT'
set -e
work=$1 rule=$2
shift 2
mount --make-rprivate /
for dir in /etc/udev/rules.d /usr/lib/udev/rules.d /usr/local/lib/udev/rules.d; do
    [ -d "$dir" ] && mount --bind "$work/empty" "$dir"
done
mount -t tmpfs tmpfs /run
mkdir -p /run/udev/rules.d
cp "$rule" /run/udev/rules.d/70-portcycle.rules
mount --rbind /dev "$work/realdev"
mount -t tmpfs tmpfs /dev
for node in null zero full random urandom; do
    : >"/dev/$node"
    mount --bind "$work/realdev/$node" "/dev/$node"
done
exec "$@"
SCRIPT

status=0
# Every case as a hot-plug (add) and as `udevadm trigger` replays it (change).
printf '%s\n' "$cases" | while read -r name vendor product expected; do
    [ -n "$name" ] || continue
    for action in add change; do
        TMPDIR=$work unshare --mount sh "$work/isolated.sh" "$work" "$rule_file" \
            umockdev-run -d "$work/devices.umockdev" -- \
            udevadm test --action=$action "/sys/devices/pci0000:00/usb1/$name" \
            >"$work/log" 2>&1
        grep -q '70-portcycle.rules' "$work/log" || {
            echo "FAIL: udevadm did not load the rule for $name:" >&2
            cat "$work/log" >&2
            exit 1
        }
        # Besides loading it, udevadm mentions the rule only for what it
        # assigns; anything else is a complaint about the rule.
        grep '70-portcycle\.rules' "$work/log" | grep -v 'Reading rules file' |
            grep -v '70-portcycle\.rules:[0-9]* \(GROUP\|MODE\) [0-9]*$' >"$work/complaints"
        if [ -s "$work/complaints" ]; then
            echo "FAIL: udevadm reports a problem in the rule:" >&2
            cat "$work/complaints" >&2
            exit 1
        fi
        grant=no
        if grep -q "70-portcycle.rules:[0-9]* GROUP $gid\$" "$work/log" &&
            grep -q '70-portcycle.rules:[0-9]* MODE 0664$' "$work/log"; then
            grant=yes
        elif grep -q '70-portcycle.rules:[0-9]* \(GROUP\|MODE\)' "$work/log"; then
            grant=partly
        fi
        if [ "$grant" != "$expected" ]; then
            echo "FAIL: $action $vendor:$product ($name): rule grants '$grant', expected '$expected'" >&2
            grep '70-portcycle' "$work/log" >&2
            exit 1
        fi
    done
done || status=1

[ "$status" -eq 0 ] && echo "udev rule: group $group ($gid) gets exactly the display hub's devices"
exit "$status"
