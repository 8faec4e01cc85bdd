#!/bin/bash
# The simulated board's helpers (MMC driver, fake modem) live exactly as long as the
# daemon: none is left behind by -h or a bad option, nor 2 s after SIGTERM to a daemon in
# the foreground or a detached one, and none holds the caller's output. On the way,
# sim/key presses a key the daemon sees.
# Usage: helpers_test.sh RUN_DAEMON BUILD_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../package/testlib.sh
. "$here/../package/testlib.sh"
run_daemon=${1:?usage: $0 RUN_DAEMON BUILD_DIR}
build=${2:?usage: $0 RUN_DAEMON BUILD_DIR}
scratch=$(mktemp -d /tmp/tsb-helpers-XXXXXX)

# Processes that name the board ROOT on their command line: the helpers and their children.
on_board() { pgrep -f -- "$1( |/|$)"; }
none_within() {  # none_within SECONDS ROOT
    local deadline=$((SECONDS + $1))
    while on_board "$2" >/dev/null; do
        [ $SECONDS -lt "$deadline" ] || return 1
        sleep 0.1
    done
}
# The daemon of board ROOT: the tesmar_gpio process whose environment names ROOT.
daemon_of() {
    local pid
    for pid in $(pgrep -x tesmar_gpio); do
        { tr "\0" "\n" <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "TESMAR_GPIO_ROOT=$1" && echo "$pid"
    done
}
# Both helpers up and the daemon answering on board ROOT.
board_up() {
    [ -S "$1/var/run/tesmar_gpio.sock" ] && [ -L "$1/dev/ttyUSB2" ] && pgrep -f -- "inotifywait.*$1/" >/dev/null
}
wait_for() {  # wait_for SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# Whatever a failed check left running on these boards goes with the boards.
cleanup() {
    local root
    for root in "$scratch"/*; do
        # shellcheck disable=SC2046
        kill $(daemon_of "$root") $(on_board "$root") 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

# A daemon that ends at once: the output ends with it, and no helper outlives it.
for option in -h -x; do
    root=$scratch/quick$option
    start=$SECONDS
    output=$("$run_daemon" "$build" "$root" "$option" 2>&1 | tail -n 1)
    # Well under the minute helpers that guessed their end used to hold it, on a busy machine.
    check "$option: the output ends within 15 s ($((SECONDS - start)) s)" test $((SECONDS - start)) -lt 15
    check "$option: the daemon ran ($output)" test -n "$output"
    check "$option: no helper is left" none_within 2 "$root"
done

# SIGTERM to the daemon, foreground and detached: the helpers end within 2 s.
for mode in foreground detached; do
    root=$scratch/$mode
    if [ $mode = foreground ]; then
        "$run_daemon" "$build" "$root" -f >/dev/null 2>&1 &
        pid=$!
    else
        "$run_daemon" "$build" "$root" >/dev/null 2>&1
        pid=$(daemon_of "$root")
    fi
    check "$mode: the board comes up with both helpers" wait_for 20 board_up "$root"
    check "$mode: the daemon is found" test -n "$pid"
    if [ $mode = foreground ]; then
        # One press through sim/key is seen, however the daemon's input samples fall.
        "$(dirname "$run_daemon")/key" "$root" 4g
        check "sim/key: the 4G key press flips the switch" wait_for 5 grep -qx "1 0" "$root/var/lib/tesmar_gpio/link_state"
    fi
    [ -n "$pid" ] && kill -TERM "$pid"
    check "$mode: the daemon ends on SIGTERM" wait_for 10 eval "! kill -0 $pid 2>/dev/null" &&
        check "$mode: no helper is left 2 s after the daemon" none_within 2 "$root"
done

finish
