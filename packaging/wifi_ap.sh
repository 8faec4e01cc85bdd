#!/bin/sh
# wifi_ap.sh start|stop — the board's WiFi access point on wlan0.
#
# tesmar_gpio runs this script when the WiFi switch flips and to recover an access point
# that failed its health check. After "start" the daemon expects:
#   - hostapd running with a configuration whose path contains "tesmar-hostapd";
#   - udhcpd with "tesmar-udhcpd" in its command line, or else dnsmasq with "tesmar-wifi";
#   - wlan0 up, with an IPv4 address, in AP mode.
# "stop" undoes all of it. Both are idempotent: a second "start" leaves what runs alone
# (run "stop" first to apply a changed configuration), "stop" with nothing running is fine.
#
# Settings come from /etc/tesmar_gpio/wifi_ap.conf (KEY=value lines; see that file for the
# keys and their defaults). Generated files go to /run/tesmar_gpio, readable by root only.
# Without a passphrase there, the first start makes one for this board from the kernel's
# random source and keeps it in /var/lib/tesmar_gpio/wifi_ap.passphrase (root's alone);
# later starts use it again.
#
# Exit status: 0 done; 1 a step failed (a failed start is rolled back); 2 usage;
# 3 invalid configuration; 4 a needed program is missing.
#
# TESMAR_GPIO_ROOT, when set, moves the configuration and run directory under it, as it
# moves every fixed path of tesmar_gpio (used with the simulated board).

set -u
: "${PATH:=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin}"
export LC_ALL=C

me=wifi_ap.sh
iface=wlan0
root=${TESMAR_GPIO_ROOT:-}
conf_file=$root/etc/tesmar_gpio/wifi_ap.conf
run_dir=$root/run/tesmar_gpio
hostapd_conf=$run_dir/tesmar-hostapd.conf
udhcpd_conf=$run_dir/tesmar-udhcpd.conf
dnsmasq_conf=$run_dir/tesmar-wifi.conf
# The address put on wlan0 by the last start, so that stop removes that one even when the
# configuration has changed since.
applied_address=$run_dir/address
state_dir=$root/var/lib/tesmar_gpio
passphrase_file=$state_dir/wifi_ap.passphrase
# Letters and digits that cannot be taken for one another (no l, I, O, 0, 1).
passphrase_alphabet=abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789
# 20 characters of that 56-letter alphabet: about 116 random bits.
passphrase_length=20
# How long a server may take to exit on SIGTERM before it is killed (hundredths of a second).
stop_grace_cs=300

say() { printf '%s: %s\n' "$me" "$*" >&2; }
fail() { code=$1; shift; say "$*"; exit "$code"; }

# need PROGRAM...: exits 4 naming the first that is not installed.
need() {
    for program in "$@"; do
        command -v "$program" >/dev/null 2>&1 || fail 4 "$program not found (install it or fix PATH)"
    done
}

# The text as an extended regular expression that matches only itself (pgrep/pkill -f).
regex_quote() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|]/\\&/g'; }

running() { pgrep -f -- "$1" >/dev/null 2>&1; }

# serve PROGRAM ARGS...: starts a server in a session of its own. The daemon ends whatever
# this script leaves in its process group once the script has ended; the servers are
# meant to stay. (-w: should setsid have to fork, the status is still the server's.)
serve() { setsid -w "$@"; }

# Hundredths of a second since boot: a clock that setting the time does not move.
uptime_cs() {
    read -r up _ </proc/uptime
    hundredths=${up#*.}
    # "08" would be read as octal.
    echo $(( ${up%.*} * 100 + ${hundredths#0} ))
}

# Ends the processes whose command line matches PATTERN: SIGTERM, then SIGKILL after the
# grace time.
stop_matching() {
    running "$1" || return 0
    pkill -TERM -f -- "$1" 2>/dev/null
    deadline=$(( $(uptime_cs) + stop_grace_cs ))
    while running "$1" && [ "$(uptime_cs)" -lt "$deadline" ]; do
        sleep 0.1
    done
    if running "$1"; then
        say "killing $2, which ignored SIGTERM"
        pkill -KILL -f -- "$1" 2>/dev/null
    fi
    return 0
}

# --- configuration -----------------------------------------------------------------

# Defaults; /etc/tesmar_gpio/wifi_ap.conf documents each.
SSID=TesMar-Gateway
# Empty: the board's own (see board_passphrase).
PASSPHRASE=
ADDRESS=192.168.50.1/24
CHANNEL=6
COUNTRY=
DNS=8.8.8.8

# KEY=value lines are read as data, never run: a value may hold any text but a newline.
load_config() {
    [ -e "$conf_file" ] || return 0
    [ -r "$conf_file" ] || fail 3 "cannot read $conf_file"
    line_no=0
    while IFS= read -r line || [ -n "$line" ]; do
        line_no=$((line_no + 1))
        line=${line#"${line%%[![:space:]]*}"}
        case $line in '' | '#'*) continue ;; esac
        case $line in *=*) ;; *) fail 3 "$conf_file:$line_no: expected KEY=value" ;; esac
        key=${line%%=*}
        value=${line#*=}
        # Blanks around the key and the value go, then one pair of quotes around the value
        # (quote a value to keep blanks at its ends).
        key=$(printf '%s' "$key" | tr -d ' \t')
        value=${value#"${value%%[! 	]*}"}
        value=${value%"${value##*[! 	]}"}
        case $value in
            \"*\") value=${value#\"}; value=${value%\"} ;;
            \'*\') value=${value#\'}; value=${value%\'} ;;
        esac
        case $key in
            SSID) SSID=$value ;;
            PASSPHRASE) PASSPHRASE=$value ;;
            ADDRESS) ADDRESS=$value ;;
            CHANNEL) CHANNEL=$value ;;
            COUNTRY) COUNTRY=$value ;;
            DNS) DNS=$value ;;
            *) fail 3 "$conf_file:$line_no: unknown key $key" ;;
        esac
    done <"$conf_file"
}

# Sets PASSPHRASE to this board's own, made at the first call. The file is written whole
# under another name, then linked into place, which fails when it is there already: every
# start, even two at once, uses the same passphrase.
board_passphrase() {
    if [ ! -e "$passphrase_file" ]; then
        (umask 077 && mkdir -p "$state_dir") || fail 1 "cannot create $state_dir"
        new=$passphrase_file.new.$$
        (umask 077 &&
            tr -dc "$passphrase_alphabet" </dev/urandom | head -c "$passphrase_length" >"$new" &&
            echo >>"$new") || { rm -f "$new"; fail 1 "cannot write $new"; }
        ln "$new" "$passphrase_file" 2>/dev/null
        rm -f "$new"
    fi
    [ -r "$passphrase_file" ] || fail 3 "cannot read $passphrase_file"
    IFS= read -r PASSPHRASE <"$passphrase_file"
    case $PASSPHRASE in *[![:print:]]*) PASSPHRASE= ;; esac
    [ ${#PASSPHRASE} -ge 8 ] && [ ${#PASSPHRASE} -le 63 ] ||
        fail 3 "$passphrase_file holds no valid passphrase (remove it to make a new one)"
}

# ipv4_int A.B.C.D: the address as a number; fails for anything else.
ipv4_int() {
    case $1 in *[!0-9.]* | *..* | .* | *.) return 1 ;; esac
    old_ifs=$IFS
    IFS=.
    # shellcheck disable=SC2086
    set -- $1
    IFS=$old_ifs
    [ $# -eq 4 ] || return 1
    for octet in "$@"; do
        # A leading zero would be read as octal.
        case $octet in 0?*) return 1 ;; esac
        [ ${#octet} -le 3 ] && [ "$octet" -le 255 ] || return 1
    done
    echo $(( ($1 << 24) | ($2 << 16) | ($3 << 8) | $4 ))
}

int_ipv4() { echo "$(( ($1 >> 24) & 255 )).$(( ($1 >> 16) & 255 )).$(( ($1 >> 8) & 255 )).$(( $1 & 255 ))"; }

check_config() {
    case $SSID in '' | *[[:cntrl:]]*) fail 3 "SSID must be 1 to 32 bytes without control characters" ;; esac
    [ ${#SSID} -le 32 ] || fail 3 "SSID must be 1 to 32 bytes without control characters"
    case $PASSPHRASE in *[![:print:]]*) fail 3 "PASSPHRASE must be 8 to 63 printable ASCII characters" ;; esac
    [ ${#PASSPHRASE} -ge 8 ] && [ ${#PASSPHRASE} -le 63 ] ||
        fail 3 "PASSPHRASE must be 8 to 63 printable ASCII characters"
    case $CHANNEL in '' | *[!0-9]*) fail 3 "CHANNEL must be 1 to 14" ;; esac
    [ "$CHANNEL" -ge 1 ] && [ "$CHANNEL" -le 14 ] || fail 3 "CHANNEL must be 1 to 14"
    case $COUNTRY in '' | [A-Z][A-Z]) ;; *) fail 3 "COUNTRY must be empty or two capital letters" ;; esac
    [ -z "$DNS" ] || ipv4_int "$DNS" >/dev/null || fail 3 "DNS must be an IPv4 address"

    prefix=${ADDRESS#*/}
    ap=$(ipv4_int "${ADDRESS%/*}") || fail 3 "ADDRESS must be an IPv4 address with a prefix, such as 192.168.50.1/24"
    case $prefix in '' | *[!0-9]*) fail 3 "ADDRESS needs a prefix length from 8 to 29, such as /24" ;; esac
    [ "$prefix" -ge 8 ] && [ "$prefix" -le 29 ] ||
        fail 3 "ADDRESS needs a prefix length from 8 to 29, such as /24"
    mask=$(( (0xffffffff << (32 - prefix)) & 0xffffffff ))
    net=$(( ap & mask ))
    broadcast=$(( net | (~mask & 0xffffffff) ))
    [ "$ap" -ne "$net" ] && [ "$ap" -ne "$broadcast" ] ||
        fail 3 "ADDRESS $ADDRESS is its network's or broadcast address"

    # Leases from the upper part of the subnet, never the access point's own address.
    if [ $(( broadcast - net + 1 )) -ge 256 ]; then
        first=$(( net + 100 )); last=$(( net + 200 ))
    else
        first=$(( net + (broadcast - net + 1) / 2 )); last=$(( broadcast - 1 ))
    fi
    if [ "$ap" -ge "$first" ] && [ "$ap" -le "$last" ]; then
        if [ $(( ap - first )) -ge $(( last - ap )) ]; then last=$(( ap - 1 )); else first=$(( ap + 1 )); fi
    fi
    lease_first=$(int_ipv4 "$first")
    lease_last=$(int_ipv4 "$last")
    lease_count=$(( last - first + 1 ))
    netmask=$(int_ipv4 "$mask")
    router=$(int_ipv4 "$ap")
}

# --- generated files -----------------------------------------------------------------

write_hostapd_conf() {
    {
        echo "interface=$iface"
        echo "driver=nl80211"
        echo "ssid=$SSID"
        echo "utf8_ssid=1"
        echo "hw_mode=g"
        echo "channel=$CHANNEL"
        if [ -n "$COUNTRY" ]; then
            echo "country_code=$COUNTRY"
            echo "ieee80211d=1"
        fi
        echo "ieee80211n=1"
        echo "wmm_enabled=1"
        echo "auth_algs=1"
        echo "wpa=2"
        echo "wpa_key_mgmt=WPA-PSK"
        echo "rsn_pairwise=CCMP"
        echo "wpa_passphrase=$PASSPHRASE"
    } >"$hostapd_conf"
}

write_udhcpd_conf() {
    {
        echo "interface $iface"
        echo "start $lease_first"
        echo "end $lease_last"
        echo "max_leases $lease_count"
        echo "pidfile $run_dir/tesmar-udhcpd.pid"
        echo "lease_file $run_dir/tesmar-udhcpd.leases"
        echo "option subnet $netmask"
        echo "option router $router"
        [ -z "$DNS" ] || echo "option dns $DNS"
        echo "option lease 86400"
    } >"$udhcpd_conf"
    : >>"$run_dir/tesmar-udhcpd.leases"
}

write_dnsmasq_conf() {
    {
        echo "interface=$iface"
        echo "bind-interfaces"
        echo "except-interface=lo"
        echo "# DHCP only: the board's own resolver setup stays untouched."
        echo "port=0"
        echo "dhcp-range=$lease_first,$lease_last,$netmask,24h"
        echo "dhcp-option=option:router,$router"
        [ -z "$DNS" ] || echo "dhcp-option=option:dns-server,$DNS"
        echo "dhcp-leasefile=$run_dir/tesmar-wifi.leases"
        echo "pid-file=$run_dir/tesmar-wifi.pid"
    } >"$dnsmasq_conf"
}

# --- actions -------------------------------------------------------------------------

hostapd_pattern() { echo "hostapd.*$(regex_quote "$hostapd_conf")"; }
udhcpd_pattern() { echo "udhcpd.*$(regex_quote "$udhcpd_conf")"; }
dnsmasq_pattern() { echo "dnsmasq.*$(regex_quote "$dnsmasq_conf")"; }

do_stop() {
    stop_matching "$(dnsmasq_pattern)" dnsmasq
    stop_matching "$(udhcpd_pattern)" udhcpd
    stop_matching "$(hostapd_pattern)" hostapd
    if ip link show "$iface" >/dev/null 2>&1; then
        address=
        [ -r "$applied_address" ] && IFS= read -r address <"$applied_address"
        [ -n "$address" ] && ip addr del "$address" dev "$iface" >/dev/null 2>&1
        ip link set "$iface" down >/dev/null 2>&1
        iw dev "$iface" set type managed >/dev/null 2>&1
    fi
    rm -f "$hostapd_conf" "$udhcpd_conf" "$dnsmasq_conf" "$applied_address" \
        "$run_dir"/tesmar-udhcpd.pid "$run_dir"/tesmar-udhcpd.leases \
        "$run_dir"/tesmar-wifi.pid "$run_dir"/tesmar-wifi.leases "$run_dir"/tesmar-hostapd.pid
    rmdir "$run_dir" 2>/dev/null
    return 0
}

# A start that fails half way leaves nothing behind.
start_failed() {
    say "$*"
    do_stop
    exit 1
}

do_start() {
    if command -v udhcpd >/dev/null 2>&1; then
        dhcp=udhcpd
    elif command -v dnsmasq >/dev/null 2>&1; then
        dhcp=dnsmasq
    else
        fail 4 "neither udhcpd nor dnsmasq found (install one of them)"
    fi
    load_config
    [ -n "$PASSPHRASE" ] || board_passphrase
    check_config
    ip link show "$iface" >/dev/null 2>&1 || fail 1 "no interface $iface"

    # Generated files hold the passphrase.
    (umask 077 && mkdir -p "$run_dir") || fail 1 "cannot create $run_dir"

    if ! running "$(hostapd_pattern)"; then
        (umask 077 && write_hostapd_conf) || start_failed "cannot write $hostapd_conf"
        # hostapd puts the radio into AP mode itself; setting it first helps drivers that
        # refuse the change while the interface is up.
        ip link set "$iface" down >/dev/null 2>&1
        iw dev "$iface" set type __ap >/dev/null 2>&1
        serve hostapd -B -P "$run_dir/tesmar-hostapd.pid" "$hostapd_conf" >/dev/null ||
            start_failed "hostapd failed to start the access point"
    fi

    # A start with a changed address replaces the one applied before.
    previous=
    [ -r "$applied_address" ] && IFS= read -r previous <"$applied_address"
    [ -z "$previous" ] || [ "$previous" = "$ADDRESS" ] || ip addr del "$previous" dev "$iface" >/dev/null 2>&1
    printf '%s\n' "$ADDRESS" >"$applied_address"
    ip addr replace "$ADDRESS" dev "$iface" || start_failed "cannot put $ADDRESS on $iface"
    ip link set "$iface" up || start_failed "cannot set $iface up"

    if [ "$dhcp" = udhcpd ]; then
        if ! running "$(udhcpd_pattern)"; then
            write_udhcpd_conf || start_failed "cannot write $udhcpd_conf"
            serve udhcpd -S "$udhcpd_conf" || start_failed "udhcpd failed to start"
        fi
    elif ! running "$(dnsmasq_pattern)"; then
        write_dnsmasq_conf || start_failed "cannot write $dnsmasq_conf"
        serve dnsmasq --conf-file="$dnsmasq_conf" || start_failed "dnsmasq failed to start"
    fi
    return 0
}

umask 022
case ${1:-} in
    start)
        need ip iw pgrep pkill setsid hostapd
        do_start
        ;;
    stop)
        need ip iw pgrep pkill
        do_stop
        ;;
    *)
        echo "usage: $0 start|stop" >&2
        exit 2
        ;;
esac
exit 0
