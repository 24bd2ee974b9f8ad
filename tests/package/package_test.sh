#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# package_test -- build the Debian package of a build tree into a scratch
# directory and check its files, its control fields and the packaged tools.
#
# usage: package_test.sh CPACK DPKG_DEB BUILD_DIR MAN_DIR RULE_PATH RULE_FILE GROUP VERSION
#   RULE_PATH  where the udev rule must be in the package (no leading /)
#   RULE_FILE  the rule as configured in the build tree
set -u
cpack=$1 dpkg_deb=$2 build=$3 man_dir=$4 rule_path=$5 rule_file=$6 group=$7 version=$8

for tool in "$cpack" "$dpkg_deb"; do
    if [ -z "$tool" ] || ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: cpack or dpkg-deb not available" >&2
        exit 77
    fi
done

# Everything happens in a directory of our own, so a parallel test or an
# earlier run (a stale .deb) cannot get in the way.
work=$(mktemp -d "${TMPDIR:-/tmp}/portcycle-package.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

cd "$work" || exit 1
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack -G DEB failed" >&2
    exit 1
fi
set -- "$work"/out/*.deb
if [ "$#" -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected one .deb, found: $*" >&2
    exit 1
fi
deb=$1
"$dpkg_deb" -x "$deb" "$work/root" || exit 1

# Files: exactly these, nothing else (no test programs, no emulator).
cat >"$work/expected" <<LIST
./$rule_path
./usr/sbin/hubsurvey
./usr/sbin/portcycle
./usr/share/man/man8/hubsurvey.8
./usr/share/man/man8/portcycle.8
LIST
sort -o "$work/expected" "$work/expected"
(cd "$work/root" && find . ! -type d | LC_ALL=C sort) >"$work/actual"
if ! diff -u "$work/expected" "$work/actual" >"$work/files.diff"; then
    fail "package files differ from the expected list:"
    cat "$work/files.diff" >&2
fi
for tool in portcycle hubsurvey; do
    [ -x "$work/root/usr/sbin/$tool" ] || fail "usr/sbin/$tool is not executable"
    cmp -s "$man_dir/$tool.8" "$work/root/usr/share/man/man8/$tool.8" ||
        fail "man page $tool.8 differs from the source"
done

# The udev rule: the one configured for this build, for the configured group.
rule="$work/root/$rule_path"
if [ -f "$rule" ]; then
    cmp -s "$rule_file" "$rule" || fail "packaged udev rule differs from $rule_file"
    grep -q '@' "$rule" && fail "udev rule has an unsubstituted @VARIABLE@"
    n=$(grep -c "^ATTR{idVendor}==.*GROUP=\"$group\"" "$rule")
    [ "$n" -eq 3 ] || fail "udev rule: expected 3 rules for group '$group', found $n"
fi

# Control fields.
field() { "$dpkg_deb" -f "$deb" "$1"; }
[ "$(field Package)" = portcycle ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', expected '$version'"
[ "$(field Section)" = admin ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
for pkg in libusb-0.1-4 libudev1 libc6 libstdc++6; do
    printf '%s\n' "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | grep -qx "$pkg" ||
        fail "Depends lacks $pkg: '$depends'"
done
# Every shared library that the tools need must come from a package in
# Depends: the library the dynamic loader picks here, and the package that
# owns that file (by either name, /lib being /usr/lib on Debian 12).
owner_of() {
    for path in "$1" "$(realpath "$1" 2>/dev/null)" "${1#/usr}" "/usr${1#/usr}"; do
        owner=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1)
        [ -n "$owner" ] && { echo "$owner"; return; }
    done
}
if command -v objdump >/dev/null 2>&1 && command -v ldd >/dev/null 2>&1 &&
    command -v dpkg >/dev/null 2>&1; then
    for tool in portcycle hubsurvey; do
        bin="$work/root/usr/sbin/$tool"
        for lib in $(objdump -p "$bin" | awk '$1 == "NEEDED" { print $2 }'); do
            path=$(ldd "$bin" | awk -v lib="$lib" '$1 == lib && $2 == "=>" { print $3 }')
            [ -n "$path" ] || { fail "$tool: the loader finds no $lib"; continue; }
            owner=$(owner_of "$path")
            [ -n "$owner" ] || continue # not from a Debian package: nothing to name
            printf '%s\n' "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//' | grep -qx "$owner" ||
                fail "$tool needs $lib from $owner, which Depends lacks"
        done
    done
fi

# The packaged tools run here. USB_DEVFS_PATH points libusb-0.1 at a
# directory without buses (it needs one entry, else it falls back to
# /dev/bus/usb), so this never touches real hardware: both tools must exit 0
# and print nothing on either stream.
mkdir "$work/no-usb" && : >"$work/no-usb/no-buses"
for cmd in "portcycle" "portcycle 3000 SERIAL" "hubsurvey"; do
    set -- $cmd
    tool=$1
    shift
    USB_DEVFS_PATH="$work/no-usb" "$work/root/usr/sbin/$tool" "$@" >"$work/out.txt" 2>"$work/err.txt"
    rc=$?
    [ "$rc" -eq 0 ] || fail "packaged '$cmd' exited $rc"
    [ -s "$work/out.txt" ] && fail "packaged '$cmd' wrote to stdout: $(cat "$work/out.txt")"
    [ -s "$work/err.txt" ] && fail "packaged '$cmd' wrote to stderr: $(cat "$work/err.txt")"
done

[ "$status" -eq 0 ] && echo "package: $(basename "$deb") OK"
exit "$status"
