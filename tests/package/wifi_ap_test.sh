#!/bin/bash
# The reference access-point script against stand-in hostapd, udhcpd, dnsmasq, ip and iw:
# after "start" the daemon's health check must pass, after "stop" nothing of it is left.
# Usage: wifi_ap_test.sh PATH/TO/wifi_ap.sh
set -u
script=$(realpath "${1:?usage: $0 WIFI_AP_SH}")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=testlib.sh
. "$here/testlib.sh"

top=$(mktemp -d /tmp/wifi-ap-test.XXXXXX)
boards=0
cleanup() {
    # The stand-ins' background processes, by the ids they recorded.
    local pid
    for pids in "$top"/*/state/pids; do
        [ -e "$pids" ] || continue
        while read -r pid; do kill -KILL "$pid" 2>/dev/null; done <"$pids"
    done
    rm -rf "$top"
}
trap cleanup EXIT

# new_board [PROGRAM...]: a fresh board (its root is $board) with wlan0 down and managed,
# and a PATH that holds the system tools the script needs and the stand-ins, less PROGRAMs.
new_board() {
    boards=$((boards + 1))
    board=$top/board$boards
    state=$board/state
    mkdir -p "$board/bin" "$state" "$board/etc/tesmar_gpio"
    local tool
    for tool in sh bash sed tr mkdir rm rmdir sleep pgrep pkill cat setsid grep mv touch basename head ln; do
        ln -s "$(command -v "$tool")" "$board/bin/$tool"
    done
    for tool in hostapd udhcpd dnsmasq; do ln -s "$here/stand-ins/server" "$board/bin/$tool"; done
    ln -s "$here/stand-ins/ip" "$board/bin/ip"
    ln -s "$here/stand-ins/iw" "$board/bin/iw"
    for tool in "$@"; do rm "$board/bin/$tool"; done
    touch "$state/wlan0" "$state/wlan0.addrs"
    echo down >"$state/wlan0.operstate"
    echo managed >"$state/wlan0.type"
}

# run_ap ACTION: runs the script as the daemon would (from the board's root, so anything a
# value might run would leave its file there); sets $status and $err.
run_ap() {
    err=$(cd "$board" && env -i PATH="$board/bin" STANDIN_STATE="$state" TESMAR_GPIO_ROOT="$board" "$script" "$1" 2>&1 >/dev/null)
    status=$?
}

# Processes of this board whose command line matches one of the health check's patterns.
count() {
    local pid n=0
    for pid in $(pgrep -f -- "$1"); do
        tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$board/" && n=$((n + 1))
    done
    echo "$n"
}

# The daemon's health check, step by step, on this board; prints the first failure.
health() {
    [ "$(count 'hostapd.*tesmar-hostapd')" -ge 1 ] || { echo "hostapd not running"; return; }
    [ "$(count 'udhcpd.*tesmar-udhcpd')" -ge 1 ] || [ "$(count 'dnsmasq.*tesmar-wifi')" -ge 1 ] ||
        { echo "DHCP server not running"; return; }
    [ "$(cat "$state/wlan0.operstate")" = up ] || { echo "wlan0 is $(cat "$state/wlan0.operstate")"; return; }
    STANDIN_STATE=$state "$here/stand-ins/ip" addr show wlan0 | grep -q 'inet ' || { echo "no IP address on wlan0"; return; }
    STANDIN_STATE=$state "$here/stand-ins/iw" dev wlan0 info | grep -q 'type AP' || { echo "wlan0 not in AP mode"; return; }
    echo healthy
}

# Nothing of the access point is left on this board.
expect_all_undone() {
    expect_eq "$1: no server left" "0 0 0" \
        "$(count 'hostapd.*tesmar-hostapd') $(count 'udhcpd.*tesmar-udhcpd') $(count 'dnsmasq.*tesmar-wifi')"
    expect_eq "$1: no address left" "" "$(cat "$state/wlan0.addrs")"
    expect_eq "$1: wlan0 down and managed" "down managed" "$(cat "$state/wlan0.operstate") $(cat "$state/wlan0.type")"
    check "$1: run directory removed" test ! -e "$board/run/tesmar_gpio"
}

# --- start, start again, stop, stop again, with udhcpd -------------------------------------
new_board
run_ap start
expect_eq "start succeeds" "0 " "$status $err"
expect_eq "started access point is healthy" healthy "$(health)"
conf=$board/run/tesmar_gpio/tesmar-hostapd.conf
check "hostapd runs with the generated configuration" grep -q -- "-B -P .* $conf" "$state/calls"
# The daemon ends what the script leaves in its process group: the servers leave it.
expect_eq "servers start in sessions of their own" "hostapd udhcpd" "$(paste -sd' ' "$state/own-session")"
check "default SSID" grep -qx 'ssid=TesMar-Gateway' "$conf"
expect_eq "passphrase readable by root only" 600 "$(stat -c %a "$conf")"
expect_eq "default address on wlan0" 192.168.50.1/24 "$(cat "$state/wlan0.addrs")"
expect_eq "udhcpd leases from the upper part of the /24" \
    "start 192.168.50.100|end 192.168.50.200|option router 192.168.50.1" \
    "$(grep -E '^(start|end|option router) ' "$board/run/tesmar_gpio/tesmar-udhcpd.conf" | paste -sd'|')"

run_ap start
expect_eq "second start succeeds" "0 " "$status $err"
expect_eq "second start leaves one hostapd and one udhcpd" "1 1" \
    "$(count 'hostapd.*tesmar-hostapd') $(count 'udhcpd.*tesmar-udhcpd')"
expect_eq "still healthy" healthy "$(health)"

run_ap stop
expect_eq "stop succeeds" "0 " "$status $err"
expect_all_undone "stop"
expect_eq "stopped access point fails the check" "hostapd not running" "$(health)"
run_ap stop
expect_eq "second stop succeeds" "0 " "$status $err"

# --- each board its own passphrase, unless the configuration names one ----------------------
passphrase() { sed -n 's/^wpa_passphrase=//p' "$board/run/tesmar_gpio/tesmar-hostapd.conf"; }
kept() { stat -c %a "$board/var/lib/tesmar_gpio/wifi_ap.passphrase" && cat "$board/var/lib/tesmar_gpio/wifi_ap.passphrase"; }
new_board
run_ap start
first=$(passphrase)
check "a first start makes 16 or more unmistakable characters ($first)" grep -qxE '[a-km-zA-HJ-NP-Z2-9]{16,63}' <<<"$first"
expect_eq "it is kept where root alone reads it" "600 $first" "$(kept | paste -sd' ')"
run_ap stop
run_ap start
expect_eq "a later start uses it again" "$first" "$(passphrase)"
run_ap stop
new_board
run_ap start
check "another board makes another one" test -n "$(passphrase)" -a "$(passphrase)" != "$first"
echo "PASSPHRASE=configured secret" >"$board/etc/tesmar_gpio/wifi_ap.conf"
run_ap stop
run_ap start
expect_eq "a configured passphrase wins" "configured secret" "$(passphrase)"
run_ap stop

# --- dnsmasq when udhcpd is not installed -------------------------------------------------
new_board udhcpd
run_ap start
expect_eq "start with dnsmasq succeeds" "0 " "$status $err"
expect_eq "dnsmasq serves DHCP" "0 1" "$(count 'udhcpd.*tesmar-udhcpd') $(count 'dnsmasq.*tesmar-wifi')"
expect_eq "access point with dnsmasq is healthy" healthy "$(health)"
check "dnsmasq hands out the range" grep -qx \
    'dhcp-range=192.168.50.100,192.168.50.200,255.255.255.0,24h' "$board/run/tesmar_gpio/tesmar-wifi.conf"
run_ap stop
expect_all_undone "stop with dnsmasq"

# --- a missing program: exit 4 with its name, nothing touched --------------------------------
while IFS='|' read -r action missing named; do
    # shellcheck disable=SC2086 # one or two programs
    new_board $missing
    run_ap "$action"
    expect_eq "$action without $missing: exit status" 4 "$status"
    check "$action without $missing: names $named" grep -q "$named" <<<"$err"
    expect_eq "$action without $missing: no program run" "" "$(grep -vE '^(ip|iw) ' "$state/calls" 2>/dev/null)"
    expect_eq "$action without $missing: wlan0 untouched" "down managed" \
        "$(cat "$state/wlan0.operstate") $(cat "$state/wlan0.type")"
done <<'CASES'
start|hostapd|hostapd
start|ip|ip
start|iw|iw
start|pgrep|pgrep
start|udhcpd dnsmasq|udhcpd
stop|ip|ip
stop|pkill|pkill
CASES

# --- hostapd fails: start fails, and what it did is undone -----------------------------------
new_board
touch "$state/hostapd.fail"
run_ap start
expect_eq "failing hostapd fails the start" 1 "$status"
check "failing hostapd is reported" grep -q "hostapd failed" <<<"$err"
expect_all_undone "failed start"

# --- configuration ------------------------------------------------------------------------
# Values are data: quotes, blanks and shell syntax end up in hostapd's file as written.
new_board
cat >"$board/etc/tesmar_gpio/wifi_ap.conf" <<'CONF'
# a comment
  SSID = "Gate $(touch ssid-ran) 1"
PASSPHRASE='p@ss `touch pass-ran`;x'

ADDRESS=10.1.2.3/28
COUNTRY=DE
CHANNEL=11
DNS=
CONF
run_ap start
expect_eq "custom configuration starts" "0 " "$status $err"
conf=$board/run/tesmar_gpio/tesmar-hostapd.conf
# shellcheck disable=SC2016 # the text must stay unexpanded
expect_eq "SSID taken literally" 'ssid=Gate $(touch ssid-ran) 1' "$(grep '^ssid=' "$conf")"
# shellcheck disable=SC2016
expect_eq "passphrase taken literally" 'wpa_passphrase=p@ss `touch pass-ran`;x' "$(grep '^wpa_passphrase=' "$conf")"
expect_eq "country and channel" "channel=11|country_code=DE" "$(grep -E '^(channel|country_code)=' "$conf" | paste -sd'|')"
expect_eq "nothing in the values ran" "" "$(find "$board" -name '*-ran')"
expect_eq "leases of a /28 stay inside it, DNS left out" "start 10.1.2.8|end 10.1.2.14|option subnet 255.255.255.240" \
    "$(grep -E '^(start|end|option subnet|option dns) ' "$board/run/tesmar_gpio/tesmar-udhcpd.conf" | paste -sd'|')"
# A changed address replaces the applied one at the next start, and stop removes it.
echo "ADDRESS=172.16.0.1/16" >"$board/etc/tesmar_gpio/wifi_ap.conf"
run_ap start
expect_eq "start with a changed address replaces the old one" 172.16.0.1/16 "$(cat "$state/wlan0.addrs")"
echo "ADDRESS=172.17.0.1/16" >"$board/etc/tesmar_gpio/wifi_ap.conf"
run_ap stop
expect_all_undone "stop after the address changed"

while IFS='|' read -r line why; do
    new_board
    printf '%s\n' "$line" >"$board/etc/tesmar_gpio/wifi_ap.conf"
    run_ap start
    expect_eq "refused: $why" 3 "$status"
    check "refused with a message: $why" test -n "$err"
    check "nothing started: $why" test ! -e "$state/calls" -o -z "$(grep -vE '^(ip|iw) ' "$state/calls" 2>/dev/null)"
done <<'CASES'
PASSPHRASE=short|passphrase under 8 characters
SSID=123456789012345678901234567890123|SSID over 32 bytes
ADDRESS=192.168.50.1|address without prefix
ADDRESS=192.168.50.1/31|prefix too long for leases
ADDRESS=192.168.050.1/24|octet with a leading zero
ADDRESS=192.168.50.256/24|octet over 255
ADDRESS=192.168.50.0/24|network address
CHANNEL=15|channel out of range
COUNTRY=germany|country not two capitals
WPA=3|unknown key
just some words|line without =
CASES

# --- a server that ignores SIGTERM is killed ---------------------------------------------
new_board
touch "$state/hostapd.ignore-term"
run_ap start
expect_eq "start with a stubborn hostapd" 0 "$status"
started=$SECONDS
run_ap stop
expect_eq "stop with a stubborn hostapd succeeds" 0 "$status"
check "stubborn hostapd is reported" grep -q "killing hostapd" <<<"$err"
# The bound only tells "killed after the grace" from "waited for the server for ever"; it is
# loose because a loaded machine stretches the script's own steps well past the 3 s grace.
check "stubborn hostapd killed, not waited for" test $((SECONDS - started)) -le 30
expect_all_undone "stop with a stubborn hostapd"

finish
