#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# usbsim_test.sh -- usbsim answers as the kernel does, seen through libusb-0.1 and libusb-1.0
# Usage: usbsim_test.sh CASE USBSIM USBCLIENT LIBUSB1CLIENT
# Input: hubchain.umockdev and bus2.umockdev beside this script (derived from
# umockdev's usbkbd.umockdev: usb1 -> 1-1 -> 1-1.5 -> hub 1-1.5.4, which has
# a touch controller 04e7:0030 devnum 12 on port 1 and the keyboard devnum 9
# on port 2; bus2 is a second root hub).
set -u
case_name=$1 usbsim=$2 client=$3 client1=$4
here=$(cd "$(dirname "$0")" && pwd)
chain=$here/hubchain.umockdev bus2=$here/bus2.umockdev
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0

# fail MESSAGE: records a failed check.
fail() {
    echo "FAIL [$case_name]: $*" >&2
    failures=$((failures + 1))
}

# expect_file NAME FILE EXPECTED: FILE holds exactly EXPECTED.
expect_file() {
    printf '%s\n' "$3" >"$tmp/expected"
    if ! cmp -s "$tmp/expected" "$2"; then
        fail "$1"
        diff -u "$tmp/expected" "$2" >&2
    fi
}

# sim ARGS...: runs usbsim with every signal's default action, as a host
# starts a process; output in $tmp/out, $tmp/err, status in $rc.
sim() {
    env --default-signal "$usbsim" "$@" >"$tmp/out" 2>"$tmp/err"
    rc=$?
}

# expect_quiet_success: the last run exited 0 and usbsim wrote no stderr.
expect_quiet_success() {
    [ "$rc" -eq 0 ] || fail "exit status $rc, expected 0"
    [ -s "$tmp/err" ] && fail "unexpected stderr: $(cat "$tmp/err")"
}

# Device numbers, children in port order, string texts and their lengths.
case_kernel_answers() {
    sim -d "$chain" -d "$bus2" -- "$client" list \
        string 001/012 3 string 001/012 2 string 001/012 1 string 001/012 0 string 001/012 4
    expect_quiet_success
    # UTF-8 "Größe-1" arrives as 7 UTF-16 units, libusb gives Latin-1 bytes;
    # "Touch €😀" is 9 units (the emoji is a surrogate pair), each high one '?'.
    expect_file "devnums, children, strings" "$tmp/out" "$(printf '%s\n' \
        '001/001 devnum 1 children 1 2' \
        '001/002 devnum 2 children 1 4' \
        '001/004 devnum 4 children 1 7' \
        '001/007 devnum 7 children 2 12 9' \
        '001/009 devnum 9 children 0' \
        '001/012 devnum 12 children 0' \
        '002/001 devnum 1 children 0' \
        "string 001/012 3 = 7 Gr$(printf '\366\337')e-1" \
        'string 001/012 2 = 9 Touch ???' \
        'string 001/012 1 = 9 ELO Touch' \
        'string 001/012 0 = 1 ?' \
        'string 001/012 4 = -32 ')"

    sim --order reversed -d "$chain" -d "$bus2" -- "$client" list
    expect_quiet_success
    expect_file "reversed readdir order" "$tmp/out" "$(printf '%s\n' \
        '002/001 devnum 1 children 0' \
        '001/012 devnum 12 children 0' \
        '001/009 devnum 9 children 0' \
        '001/007 devnum 7 children 2 12 9' \
        '001/004 devnum 4 children 1 7' \
        '001/002 devnum 2 children 1 4' \
        '001/001 devnum 1 children 1 2')"
}

# What a user without write access gets, and what umockdev alone answers.
case_views() {
    sim --view eperm -d "$chain" -- "$client" list string 001/012 3 reset 001/012
    expect_quiet_success
    expect_file "eperm view" "$tmp/out" "$(printf '%s\n' \
        '001/001 devnum 0 children 0' '001/002 devnum 0 children 0' '001/004 devnum 0 children 0' \
        '001/007 devnum 0 children 0' '001/009 devnum 0 children 0' '001/012 devnum 0 children 0' \
        'string 001/012 3 = -1 ' 'reset 001/012 = -1')"

    sim --view no-ioctl -d "$chain" -- "$client" string 001/012 3 reset 001/012
    expect_quiet_success
    expect_file "no-ioctl view" "$tmp/out" "$(printf '%s\n' 'string 001/012 3 = -25 ' 'reset 001/012 = 0')"

    # In every view the kernel refuses ioctls on a node opened read-only.
    for view in full eperm no-ioctl; do
        sim --view "$view" -t "$tmp/trace" -d "$chain" -- "$client" rdonly 001/012 list
        expect_quiet_success
        grep -qx '001/007 devnum 7 children 2 12 9' "$tmp/out" || [ "$view" != full ] ||
            fail "$view view: read-write nodes refused too: $(cat "$tmp/out")"
        grep -x 'rdonly.*' "$tmp/out" >"$tmp/rdonly"
        expect_file "$view view, read-only node" "$tmp/rdonly" 'rdonly 001/012 = -1 EPERM'
        grep -qx 'ioctl 001/012 CONNECTINFO = -1 EPERM' "$tmp/trace" || fail "$view view: no EPERM in the trace"
    done
}

# Faults, each on its own node, all in one run.
case_faults() {
    sim --reset-fault 001/012=EIO --reset-fault 001/009=19 --gone-after-reset 001/004 \
        --string-fault 001/001=timeout --string-fault 001/002=stall --open-fails 001/007 \
        -d "$chain" -- "$client" reset 001/012 reset 001/009 reset 001/004 string 001/004 1 \
        string 001/001 1 string 001/002 1 open 001/007 string 001/012 3
    expect_quiet_success
    expect_file "faults" "$tmp/out" "$(printf '%s\n' \
        'reset 001/012 = -5' 'reset 001/009 = -19' 'reset 001/004 = 0' 'string 001/004 1 = -19 ' \
        'string 001/001 1 = -110 ' 'string 001/002 1 = -32 ' 'open 001/007: no handle' \
        "string 001/012 3 = 7 Gr$(printf '\366\337')e-1")"

    # A device gone after its reset stays gone for the command's later processes.
    sim --gone-after-reset 001/004 -d "$chain" -- sh -c '"$1" reset 001/004; "$1" string 001/004 1' sh "$client"
    expect_quiet_success
    expect_file "gone across processes" "$tmp/out" "$(printf '%s\n' 'reset 001/004 = 0' 'string 001/004 1 = -19 ')"

    # Port 1 of the hub names a devnum without a node; the keyboard keeps
    # its sysfs entry but loses its node: both children are unknown to libusb.
    sim --port-devnum 001/007:1=99 --drop-node 001/009 -d "$chain" -- "$client" list
    expect_quiet_success
    grep -qx '001/007 devnum 7 children 2 - -' "$tmp/out" || fail "port-devnum/drop-node: $(cat "$tmp/out")"
    grep -q '^001/009' "$tmp/out" && fail "dropped node 001/009 still listed"
}

# The trace: ioctls as answered, libusb calls, pauses (not umockdev's usleep(0)).
case_trace() {
    sim -t "$tmp/trace" --reset-fault 001/012=EIO -d "$chain" -- "$client" \
        string 001/012 3 reset 001/012 sleep 2500 sleep 0 open 001/007
    expect_quiet_success
    grep -v -e CONNECTINFO -e HUB_PORTINFO "$tmp/trace" >"$tmp/calls"
    expect_file "trace of the calls" "$tmp/calls" "$(printf '%s\n' \
        'usb_open 001/012' \
        'ioctl 001/012 CONTROL GET_DESCRIPTOR STRING 0 = 4' \
        'ioctl 001/012 CONTROL GET_DESCRIPTOR STRING 3 = 16' \
        'usb_close 001/012' \
        'usb_open 001/012' \
        'reset 001/012 = -1 EIO' \
        'usb_reset 001/012 = -5' \
        'usb_close 001/012' \
        'pause 2500' \
        'pause 0' \
        'usb_open 001/007' \
        'usb_close 001/007')"
    grep -qx 'ioctl 001/007 CONNECTINFO = 0' "$tmp/trace" || fail "no CONNECTINFO line for 001/007"
    grep -qx 'ioctl 001/007 HUB_PORTINFO = 5' "$tmp/trace" || fail "no HUB_PORTINFO line for 001/007"
    grep -qx 'ioctl 001/009 HUB_PORTINFO = -1 ENOTTY' "$tmp/trace" || fail "non-hub port table not ENOTTY"

    sim -t "$tmp/trace" --open-fails 001/012 -d "$chain" -- "$client" open 001/012
    expect_quiet_success
    grep -x 'usb_open 001/012 = NULL' "$tmp/trace" >"$tmp/trace.open"
    expect_file "failed open traced" "$tmp/trace.open" 'usb_open 001/012 = NULL'
    grep -q usb_close "$tmp/trace" && fail "close traced without an open handle"

    # Pauses return at once unless --real-time, and are traced either way.
    start=$(date +%s)
    sim -t "$tmp/trace" -d "$chain" -- "$client" sleep 5000000
    [ $(($(date +%s) - start)) -lt 4 ] || fail "a 5 s pause was really slept"
    start=$(date +%s%N)
    sim -t "$tmp/trace" --real-time -d "$chain" -- "$client" sleep 300000
    [ $((($(date +%s%N) - start) / 1000)) -ge 300000 ] || fail "--real-time did not sleep"
    grep -qx 'pause 300000' "$tmp/trace" || fail "real-time pause not traced"
}

# libusb-1.0 reads strings through URBs: answers, stalls (a missing index,
# the stall fault), the time-out fault (libusb's own timer runs out and it
# discards the URB), a node opened read-only; lsusb -v shows a serial.
case_urbs() {
    sim -t "$tmp/trace" -d "$chain" -- "$client1" string 001/012 3 string 001/012 4 rdonly 001/012 3
    expect_quiet_success
    expect_file "strings through URBs" "$tmp/out" "$(printf '%s\n' \
        'string 001/012 3 = 7 Gr??e-1' 'string 001/012 4 = -9 ' 'rdonly 001/012 3 = -1 ')"
    for line in 'ioctl 001/012 GET_CAPABILITIES = 0' \
        'ioctl 001/012 SUBMITURB CONTROL GET_DESCRIPTOR STRING 3 = 0' \
        'ioctl 001/012 REAPURBNDELAY = 0 status 0 actual_length 16' \
        'ioctl 001/012 REAPURBNDELAY = 0 status EPIPE actual_length 0' \
        'ioctl 001/012 SUBMITURB CONTROL GET_DESCRIPTOR STRING 0 = -1 EPERM'; do
        grep -qxF "$line" "$tmp/trace" || fail "trace without '$line'"
    done

    sim -t "$tmp/trace" --string-fault 001/012=stall --string-fault 001/009=timeout -d "$chain" -- \
        "$client1" string 001/012 3 string 001/009 1
    expect_quiet_success
    expect_file "string faults through URBs" "$tmp/out" "$(printf '%s\n' 'string 001/012 3 = -9 ' 'string 001/009 1 = -7 ')"
    grep -qx 'ioctl 001/009 DISCARDURB = 0' "$tmp/trace" || fail "the timed-out URB was not discarded"
    grep -qx 'ioctl 001/009 REAPURBNDELAY = 0 status ENOENT actual_length 0' "$tmp/trace" ||
        fail "the discarded URB was not reaped as cancelled"

    if ! command -v lsusb >/dev/null; then
        echo "SKIP: lsusb (usbutils) is not installed" >&2
        exit 77
    fi
    sim -d "$here/../devices/monitor.umockdev" -- lsusb -v -d 04e7:0030
    [ "$rc" -eq 0 ] || fail "lsusb -v exited $rc"
    grep -Eqx ' +iSerial +3 E583210' "$tmp/out" || fail "lsusb -v shows no serial: $(grep iSerial "$tmp/out")"
}

# usbsim passes on the command's status and streams; its own errors are 125.
case_exit_status() {
    sim -d "$chain" -- sh -c 'echo out; echo err >&2; exit 3'
    [ "$rc" -eq 3 ] || fail "exit 3 came back as $rc"
    expect_file "command stdout" "$tmp/out" out
    expect_file "command stderr" "$tmp/err" err
    sim -d "$chain" -- sh -c 'kill -TERM $$'
    [ "$rc" -eq 143 ] || fail "death by SIGTERM came back as $rc, expected 143"
    for args in "-d $tmp/missing.umockdev -- true" "--bogus -d $chain -- true" "-d $chain" \
                "--reset-fault 001/012=EFOO -d $chain -- true" "--drop-node 003/001 -d $chain -- true" \
                "--port-devnum 001/007:9=3 -d $chain -- true" "--as 65534 -d $chain -- true" \
                "--as 65534:nogroup -d $chain -- true" "--udev-rules $tmp/missing.rules -d $chain -- true"; do
        # shellcheck disable=SC2086
        sim $args
        [ "$rc" -eq 125 ] || fail "'usbsim $args' exited $rc, expected 125"
        [ -s "$tmp/err" ] || fail "'usbsim $args' gave no message"
        [ -s "$tmp/out" ] && fail "'usbsim $args' wrote to stdout"
    done
    # A configuration descriptor shorter than its own 9-byte header (on
    # which umockdev would abort usbsim): one line naming file and device.
    sed '/^N: bus\/usb\/001\/012=/s/09023B00/09020500/' "$chain" >"$tmp/short.umockdev"
    sim -d "$tmp/short.umockdev" -- true
    [ "$rc" -eq 125 ] || fail "short configuration descriptor: exit $rc, expected 125"
    [ "$(wc -l <"$tmp/err")" -eq 1 ] && grep -q "^usbsim: $tmp/short.umockdev: device 001/012 " "$tmp/err" ||
        fail "short configuration descriptor: $(cat "$tmp/err")"
}

# The command starts as a real host starts a process, whatever usbsim got
# or set up for itself (glib ignores SIGPIPE): every signal's default
# action, an empty signal mask, and closed what was closed of 0, 1 and 2.
case_command_start() {
    env --ignore-signal=INT --block-signal=USR1 "$usbsim" -d "$chain" -- \
        grep -E '^Sig(Blk|Ign):' /proc/self/status >"$tmp/out" 2>"$tmp/err"
    rc=$?
    expect_quiet_success
    expect_file "signal mask and ignored signals" "$tmp/out" "$(printf 'SigBlk:\t%016d\nSigIgn:\t%016d' 0 0)"
    # shellcheck disable=SC2016
    env --default-signal "$usbsim" -d "$chain" -- sh -c 'r=
        for fd in 0 1 2; do [ -e /proc/self/fd/$fd ] && r="$r$fd:open " || r="$r$fd:closed "; done
        echo "$r" >"$0"' "$tmp/fds" <&- >&-
    expect_file "standard descriptors" "$tmp/fds" "0:closed 1:closed 2:open "
}

# The testbed directory goes when usbsim fails, when an ending signal comes
# while it loads descriptions or runs the command, and, through its janitor,
# when it is killed outright.
case_testbed_removed() {
    TMPDIR=$tmp/testbeds
    export TMPDIR
    mkdir "$TMPDIR"
    # no_testbed WHEN [SECONDS]: no testbed is left, at the latest after SECONDS.
    no_testbed() {
        waited=0
        while ls "$TMPDIR" | grep -q '^umockdev\.'; do
            if [ "$waited" -ge "${2:-0}" ]; then
                fail "testbed left $1"
                rm -rf "$TMPDIR"/umockdev.*
                return
            fi
            sleep 1
            waited=$((waited + 1))
        done
    }
    # started PID FILE: waits until FILE exists or PID is gone.
    started() {
        while [ ! -e "$2" ] && kill -0 "$1" 2>/dev/null; do sleep 0.05; done
    }

    sim -d "$chain" -d "$tmp/missing.umockdev" -- true
    [ "$rc" -eq 125 ] || fail "missing description: exit $rc, expected 125"
    no_testbed "after a failure"

    # A tree that umockdev takes seconds to load; its sys/devices appears
    # once loading has begun.
    "$here/../devices/gen-tree" 127 >"$tmp/big.umockdev" || { fail "gen-tree failed"; return; }
    for sig_status in TERM:143:0 KILL:137:10; do
        sig=${sig_status%%:*} status=${sig_status#*:} seconds=${status#*:} status=${status%:*}
        env --default-signal "$usbsim" -d "$tmp/big.umockdev" -- touch "$tmp/ran" &
        pid=$!
        while ! ls -d "$TMPDIR"/umockdev.*/sys/devices >/dev/null 2>&1 && kill -0 "$pid" 2>/dev/null; do
            sleep 0.05
        done
        kill -s "$sig" "$pid"
        wait "$pid"
        rc=$?
        [ "$rc" -eq "$status" ] || fail "SIG$sig while loading: exit $rc, expected $status"
        [ -e "$tmp/ran" ] && fail "SIG$sig came only after loading"
        no_testbed "by SIG$sig while loading" "$seconds"
    done

    # shellcheck disable=SC2016
    env --default-signal "$usbsim" --real-time -d "$chain" -- sh -c 'touch "$0"; exec sleep 30' "$tmp/running" &
    pid=$!
    started "$pid" "$tmp/running"
    kill -s INT "$pid"
    wait "$pid"
    rc=$?
    [ "$rc" -eq 130 ] || fail "SIGINT while running: exit $rc, expected 130"
    no_testbed "by SIGINT while running"
}

# A node missing from the testbed must not reach the host's /dev/bus/usb.
# The host's devices are faked in a private mount namespace with a tmpfs
# over /dev, so this machine's real /dev is never touched.
case_host_hidden() {
    if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
        echo "SKIP: needs root and unshare --mount" >&2
        exit 77
    fi
    mkdir "$tmp/olddev"
    unshare --mount --propagation private sh -eu -c '
        tmp=$1 usbsim=$2 client=$3 chain=$4
        mount --rbind /dev "$tmp/olddev"
        mount -t tmpfs fakedev /dev
        for n in null zero full random urandom tty; do
            touch "/dev/$n" && mount --bind "$tmp/olddev/$n" "/dev/$n"
        done
        mkdir -p /dev/bus/usb/001 /dev/bus/usb/009
        echo "HOST DEVICE" >/dev/bus/usb/001/077
        echo "HOST DEVICE" >/dev/bus/usb/009/001
        cat /dev/bus/usb/001/077 >"$tmp/host-direct"
        "$usbsim" -d "$chain" -- sh -c "
            cat /dev/bus/usb/001/077 || echo no 001/077
            cat /dev/bus/usb/009/001 || echo no 009/001
            ls /dev/bus/usb" >"$tmp/host-sim" 2>/dev/null
        "$usbsim" -d "$chain" --drop-node 001/009 -- "$client" list >"$tmp/host-list"
        if command -v setpriv >/dev/null; then
            setpriv --reuid=65534 --regid=65534 --clear-groups \
                "$usbsim" -d "$chain" -- cat /dev/bus/usb/001/077 >"$tmp/host-nobody" 2>"$tmp/host-nobody-err" || true
        fi
    ' fakehost "$tmp" "$usbsim" "$client" "$chain" || { fail "could not fake the host's devices"; return; }
    expect_file "host node readable without usbsim" "$tmp/host-direct" "HOST DEVICE"
    expect_file "host nodes through usbsim" "$tmp/host-sim" "$(printf '%s\n' 'no 001/077' 'no 009/001' '001')"
    grep -q -e 077 -e '^009/' "$tmp/host-list" && fail "libusb saw a host node: $(cat "$tmp/host-list")"
    [ -s "$tmp/host-list" ] || fail "libusb saw no testbed device"
    if [ -f "$tmp/host-nobody" ]; then
        grep -q "HOST DEVICE" "$tmp/host-nobody" && fail "a host node was reached by a non-root user"
    fi
}

case "$case_name" in
kernel-answers) case_kernel_answers ;;
views) case_views ;;
faults) case_faults ;;
trace) case_trace ;;
exit-status) case_exit_status ;;
command-start) case_command_start ;;
testbed-removed) case_testbed_removed ;;
host-hidden) case_host_hidden ;;
urbs) case_urbs ;;
*) echo "usbsim_test.sh: unknown case $case_name" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ]
