#!/bin/bash
# Bash completion of tesmar_gpioctl, word by word through the client's whole grammar.
# Usage: completion_test.sh COMPLETION_FILE [CLIENT [MANUAL_PAGE]]
# With CLIENT, every command its usage text lists must be offered as a first word, and the
# client must take every word offered; with MANUAL_PAGE, the page must describe every
# command word offered.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testlib.sh
. "$here/testlib.sh"
# shellcheck disable=SC1090
. "${1:?usage: $0 COMPLETION_FILE [CLIENT]}"

function=$(complete -p tesmar_gpioctl 2>/dev/null | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
check "a completion function is registered for tesmar_gpioctl" test -n "$function"

# offered TYPED: what completion offers after "tesmar_gpioctl TYPED", sorted, one line.
# A TYPED that ends in a blank completes a new, empty word.
offered() {
    local -a words
    read -r -a words <<<"$1"
    [ -z "$1" ] || [ "${1: -1}" = " " ] && words+=("")
    COMP_WORDS=(tesmar_gpioctl "${words[@]}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="tesmar_gpioctl $1"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$function" tesmar_gpioctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd' '
}

while IFS='|' read -r typed expected; do
    expect_eq "completion of \"$typed\"" "$expected" "$(offered "$typed")"
done <<'CASES'
|--help --json --timeout --version -V -h 4g battery beep ina input led link metrics monitor power rtty sdcard status sysinfo version wifi
s|sdcard status sysinfo
l|led link
-|--help --json --timeout --version -V -h
--json s|sdcard status sysinfo
--json --timeout 5 sdcard |remove state status
--timeout 5 power 12v |off on
--timeout |
led |4g data ext_pwr net storage sys wifi
led e|ext_pwr
led 4g |blink off on
led sys b|blink
led wifi blink |
beep |alarm off on once
beep once |
power |12v status
power 12v |off on
power status |
input |4g valid1 valid2 wifi
input v|valid1 valid2
4g |info off on status toggle
wifi |off on status toggle
rtty |off on status
sdcard |remove state status
status |
version |
sysinfo |
battery |
ina |
metrics |--modem
unknown |
CASES

if [ -n "${2:-}" ]; then
    # The usage text lists each command as "  WORD ...".
    commands=$("$2" 2>/dev/null | sed -n 's/^  \([a-z0-9]\+\) .*/\1/p' | sort -u)
    check "the client's usage lists commands" test -n "$commands"
    all=" $(offered "") "
    for command in $commands; do
        check "the client's command $command is completed" grep -q " $command " <<<"$all"
    done

    # The other way round: the client takes every word offered, up to the third word, as
    # one of its own (no daemon answers here; the words are judged before it is asked).
    # accepted WORDS...: the client says neither "Unknown command" nor "Invalid ...".
    client=$2
    # (monitor waits for a daemon for ever: a few seconds show it took the word)
    accepted() { ! TESMAR_GPIO_ROOT=$no_board timeout 3 "$client" "$@" 2>&1 | grep -qE '^(Unknown command|Invalid)'; }
    no_board=$(mktemp -d)
    for first in $(offered ""); do
        [[ $first == -* ]] && continue
        check "the client takes \"$first\"" accepted "$first"
        for second in $(offered "$first "); do
            check "the client takes \"$first $second\"" accepted "$first" "$second"
            for third in $(offered "$first $second "); do
                check "the client takes \"$first $second $third\"" accepted "$first" "$second" "$third"
            done
        done
    done
    rmdir "$no_board"
fi

if [ -n "${3:-}" ]; then
    # A command's entry starts ".B word", ".BR \"word ..." or ".BI \"word ...".
    for first in $(offered ""); do
        [[ $first == -* ]] && continue
        check "the manual page describes \"$first\"" grep -qE "^\.B[IR]? \"?$first( |\"|\$)" "$3"
    done
fi

finish
