#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# package_test -- build the Debian package from a hardened release build and check it.
#
# usage: package_test.sh CMAKE CPACK DPKG_DEB SOURCE_DIR RULE_PATH RULES_DIR GROUP VERSION
#   RULE_PATH  where the udev rule must be in the package (no leading /)
#   RULES_DIR  PORTCYCLE_UDEV_RULES_DIR of the enclosing build, passed on
#
# The package is what a distribution would ship: the `release` preset (Debian's
# hardening flags), tests off, a real maintainer address. lintian must report
# no error and no warning, hardening-check must pass on both binaries. When
# lintian or hardening-check is missing, the rest is checked and the test
# reports a skip naming what was not.
set -u
cmake=$1 cpack=$2 dpkg_deb=$3 src=$4 rule_path=$5 rules_dir=$6 group=$7 version=$8
maintainer="Portcycle Packaging Test <portcycle-test@example.org>"

for tool in "$cmake" "$cpack" "$dpkg_deb"; do
    if [ -z "$tool" ] || ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: cmake, cpack or dpkg-deb not available" >&2
        exit 77
    fi
done

# Everything happens in a directory of our own, so a parallel test or an
# earlier run (a stale .deb) cannot get in the way.
work=$(mktemp -d "${TMPDIR:-/tmp}/portcycle-package.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
status=0
missing=""
fail() {
    echo "FAIL: $*" >&2
    status=1
}

# A release build of the tools alone, as the package is made.
build=$work/build
if ! (cd "$src" && "$cmake" --preset release -B "$build" -DPORTCYCLE_BUILD_TESTS=OFF \
    -DPORTCYCLE_PACKAGE_MAINTAINER="$maintainer" -DPORTCYCLE_UDEV_GROUP="$group" \
    -DPORTCYCLE_UDEV_RULES_DIR="$rules_dir" && "$cmake" --build "$build" -j2) >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    echo "FAIL: release build for the package failed" >&2
    exit 1
fi

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
./usr/share/bash-completion/completions/portcycle
./usr/share/doc/portcycle/changelog.gz
./usr/share/doc/portcycle/copyright
./usr/share/man/man8/hubsurvey.8.gz
./usr/share/man/man8/portcycle.8.gz
LIST
LC_ALL=C sort -o "$work/expected" "$work/expected"
(cd "$work/root" && find . ! -type d | LC_ALL=C sort) >"$work/actual"
if ! diff -u "$work/expected" "$work/actual" >"$work/files.diff"; then
    fail "package files differ from the expected list:"
    cat "$work/files.diff" >&2
fi
for tool in portcycle hubsurvey; do
    bin=$work/root/usr/sbin/$tool
    [ -x "$bin" ] || fail "usr/sbin/$tool is not executable"
    readelf -S "$bin" 2>/dev/null | grep -q '\.symtab' && fail "usr/sbin/$tool is not stripped"
    page=$work/root/usr/share/man/man8/$tool.8.gz
    [ -f "$page" ] && { gzip -dc "$page" | cmp -s - "$src/man/$tool.8" ||
        fail "man page $tool.8.gz is not the source's $tool.8"; }
done
cmp -s "$src/completion/portcycle" "$work/root/usr/share/bash-completion/completions/portcycle" ||
    fail "packaged bash completion differs from completion/portcycle"
copyright=$work/root/usr/share/doc/portcycle/copyright
if [ -f "$copyright" ]; then
    head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
        fail "copyright file does not open with DEP-5's Format line"
    grep -v '^#' "$src/packaging/copyright" | cmp -s - "$copyright" ||
        fail "packaged copyright file is not packaging/copyright without its comments"
fi
changelog=$work/root/usr/share/doc/portcycle/changelog.gz
if [ -f "$changelog" ]; then
    gzip -dc "$changelog" | head -n 1 | grep -q "^portcycle ($version) " ||
        fail "changelog's newest entry is not version $version"
    gzip -dc "$changelog" | grep -qF -- " -- $maintainer  " ||
        fail "changelog's entry is not signed by '$maintainer'"
fi

# The udev rule: the one configured for this build, for the configured group.
rule="$work/root/$rule_path"
if [ -f "$rule" ]; then
    cmp -s "$build/udev/70-portcycle.rules" "$rule" || fail "packaged udev rule differs from the build's"
    grep -q '@' "$rule" && fail "udev rule has an unsubstituted @VARIABLE@"
    n=$(grep -c "^ATTR{idVendor}==.*GROUP=\"$group\"" "$rule")
    [ "$n" -eq 3 ] || fail "udev rule: expected 3 rules for group '$group', found $n"
fi

# Control fields.
field() { "$dpkg_deb" -f "$deb" "$1"; }
[ "$(field Package)" = portcycle ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', expected '$version'"
[ "$(field Section)" = admin ] || fail "Section is '$(field Section)'"
[ "$(field Maintainer)" = "$maintainer" ] || fail "Maintainer is '$(field Maintainer)', expected '$maintainer'"
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

# lintian, as a Debian maintainer runs it before an upload: any error or
# warning fails. --no-cfg keeps a local lintianrc from hiding tags. As root,
# lintian prints a plain message (no tag) that root is not recommended;
# --allow-root is its switch for that, and changes no check.
if command -v lintian >/dev/null 2>&1; then
    as_root=
    [ "$(id -u)" -eq 0 ] && as_root=--allow-root
    lintian --no-cfg $as_root --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1
    rc=$?
    if grep -q '^[EW]: ' "$work/lintian.out"; then
        fail "lintian reports errors or warnings:"
        grep '^[EW]: ' "$work/lintian.out" >&2
    elif [ "$rc" -ne 0 ]; then
        fail "lintian exited $rc:"
        cat "$work/lintian.out" >&2
    fi
else
    missing="$missing lintian"
fi

# hardening-check on both packaged binaries. Control-flow protection shows as
# the IBT/SHSTK property, which the linker keeps only if every object has it;
# where the C library's start file lacks it (Debian 12: even /usr/bin/ls
# fails this check), look for it on our own objects instead.
if command -v hardening-check >/dev/null 2>&1; then
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
    start_file=$("${cxx:-c++}" -print-file-name=Scrt1.o)
    cf_option=
    if ! readelf -n "$start_file" 2>/dev/null | grep -q 'x86 feature: IBT, SHSTK'; then
        cf_option=--nocfprotection
        for obj in $(find "$build/portcycle" "$build/hubsurvey" "$build/displayhub" -name '*.o'); do
            readelf -n "$obj" | grep -q 'x86 feature: IBT, SHSTK' ||
                fail "${obj#"$build"/} is built without -fcf-protection"
        done
    fi
    if ! hardening-check $cf_option "$work/root/usr/sbin/portcycle" "$work/root/usr/sbin/hubsurvey" \
        >"$work/hardening.out" 2>&1; then
        fail "hardening-check $cf_option fails:"
        cat "$work/hardening.out" >&2
    fi
else
    missing="$missing hardening-check"
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

[ "$status" -eq 0 ] || exit 1
if [ -n "$missing" ]; then
    echo "SKIP: package built and checked, but not by:$missing (not installed)" >&2
    exit 77
fi
echo "package: $(basename "$deb") OK; lintian: no errors, no warnings; hardening-check${cf_option:+ $cf_option}: passed"
cat "$work/hardening.out"
