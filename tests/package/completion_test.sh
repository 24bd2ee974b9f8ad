#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# completion_test -- portcycle's bash completion, through bash-completion's own functions, on serials from the real hubsurvey under usbsim.
#
# usage: completion_test.sh COMPLETION_FILE USBSIM HUBSURVEY DEVICES_DIR
#
# Sources bash-completion and the completion file as an interactive shell
# does, sets COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT for a command
# line, calls the function registered for portcycle and checks COMPREPLY.
# Every proposal is then put where readline puts it (after an open quote,
# else in place of the word) and read back by the shell: it must give
# exactly the serial text, as one argument. A `hubsurvey` on PATH runs the
# real hubsurvey under usbsim on a description with odd serials.
set -u
completion=$1 usbsim=$2 hubsurvey=$3 devices=$4

skip() {
    echo "SKIP: $*" >&2
    exit 77
}
bash_completion=
for dir in "$(pkg-config --variable=datadir bash-completion 2>/dev/null)" /usr/share; do
    if [ -n "$dir" ] && [ -f "$dir/bash-completion/bash_completion" ]; then
        bash_completion=$dir/bash-completion/bash_completion
        break
    fi
done
[ -n "$bash_completion" ] || skip "bash-completion is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/portcycle-completion.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

# Puts a hubsurvey on PATH that lists the devices of description $1.
use_devices() {
    cat >"$work/bin/hubsurvey" <<WRAPPER
#!/bin/sh
exec "$usbsim" -d "$devices/$1" -- "$hubsurvey"
WRAPPER
    chmod +x "$work/bin/hubsurvey"
    if ! "$work/bin/hubsurvey" >"$work/listing" 2>"$work/err" || ! grep -q ' TXC ' "$work/listing"; then
        fail "hubsurvey under usbsim lists no TXC on $1:"
        cat "$work/listing" "$work/err" >&2
    fi
}

# shellcheck disable=SC1090
. "$bash_completion"
# shellcheck disable=SC1090
. "$completion"
func=$(complete -p portcycle 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
[ -n "$func" ] || { echo "FAIL: $completion registers no function for portcycle" >&2; exit 1; }

# Completes the word TYPED as argument CWORD of portcycle (the words before
# it: "2000" and so on); sets COMPREPLY.
complete_at() {
    local cword=$1 typed=$2
    COMP_WORDS=(portcycle)
    while [ "${#COMP_WORDS[@]}" -lt "$cword" ]; do COMP_WORDS+=(2000); done
    COMP_WORDS+=("$typed")
    COMP_CWORD=$cword
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$func" portcycle "$typed" "${COMP_WORDS[cword - 1]}" 2>"$work/err"
    [ -s "$work/err" ] && fail "completing '$COMP_LINE' wrote to stderr: $(cat "$work/err")"
}

# Checks the proposals for the serial argument typed as TYPED: readline keeps
# KEPT of it and inserts each proposal after that; the shell must read each
# result as one word, and the words must be the serials given, in order.
check() {
    local typed=$1 kept=$2 reply
    shift 2
    local -a got=() want=("$@")
    complete_at 2 "$typed"
    for reply in "${COMPREPLY[@]}"; do
        eval "set -- $kept$reply" 2>/dev/null || { fail "'$typed': $kept$reply is no valid shell word"; continue; }
        [ "$#" -eq 1 ] || fail "'$typed': $kept$reply gives $# arguments, not 1"
        got+=("${1-}")
    done
    if [ "$(printf '<%s>\n' "${got[@]}")" != "$(printf '<%s>\n' "${want[@]}")" ]; then
        fail "'$typed': proposals ${COMPREPLY[*]@Q} read back as $(printf '<%s> ' "${got[@]}")," \
            "expected $(printf '<%s> ' "${want[@]}")"
    fi
}

PATH=$work/bin:$PATH

# tests/devices/README.md: the TXC serials as hubsurvey prints them. The DXA
# (DX?A1) is no touch controller and must not be offered.
use_devices odd-serials.umockdev
check "" "" 'Gr??e' 'E58?[2J3210' 'E5?8?3? x\y' 'E58?1'
check "E5" "" 'E58?[2J3210' 'E5?8?3? x\y' 'E58?1'
check "E58?" "" 'E58?[2J3210' 'E58?1'
check "'" "'" 'Gr??e' 'E58?[2J3210' 'E5?8?3? x\y' 'E58?1'
check "'E5?8" "'" 'E5?8?3? x\y'
check '"E5?' '"' 'E5?8?3? x\y'
check "'E58'?" "" 'E58?[2J3210' 'E58?1'
check 'E5\?8' "" 'E5?8?3? x\y'
check "'E5?8?3? x\\" "'" 'E5?8?3? x\y'
check 'E5?8?3?\ x' "" 'E5?8?3? x\y'
check 'Gr\\' ""
check 'DX' ""

use_devices two-controllers.umockdev
check "" "" 'E583220' 'E583221'
check '"E583221' '"' 'E583221'

# Every printable byte can be in a serial text. A stand-in for hubsurvey
# prints what the emulator cannot make: shell syntax in a serial, and an
# empty serial (the line ends in a blank).
cat >"$work/bin/hubsurvey" <<'LISTING'
#!/bin/sh
printf '%s\n' 'H0 TXC 04e7:0030 0100 it'"'"'s "$HOME" !x `id` a;b' 'H0 TXC 04e7:0009 0101 ' 'H0 DXB 04b3:4678 0102 $x'
LISTING
shell_serial='it'"'"'s "$HOME" !x `id` a;b'
check "" "" "$shell_serial" ''
check "it" "" "$shell_serial"
check "'it" "'" "$shell_serial"
check '"it' '"' "$shell_serial"
check "\"it's \\\"\$HOME" '"' "$shell_serial"
check "''" "" "$shell_serial" ''

# Only the serial argument gets proposals.
for cword in 1 3; do
    for typed in "" "E5"; do
        complete_at "$cword" "$typed"
        [ "${#COMPREPLY[@]}" -eq 0 ] || fail "argument $cword ('$typed') gets proposals: ${COMPREPLY[*]@Q}"
    done
done

# Without hubsurvey, nothing is proposed and nothing is printed.
rm "$work/bin/hubsurvey"
PATH=$work/bin:/usr/bin:/bin
if ! PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin type -P hubsurvey >/dev/null; then
    check "" ""
fi

[ "$status" -eq 0 ] && echo "bash completion: serials proposed and read back unchanged"
exit "$status"
