#!/bin/sh
# Stand-in for the access-point script, at ROOT/usr/lib/tesmar_gpio/wifi_ap.sh.
#   start  runs simulated hostapd and udhcpd whose command lines match the health check,
#          and sets wlan0 up, with an IPv4 address, in AP mode (files under
#          ROOT/sys/class/net/wlan0 that the ip and iw stand-ins answer from)
#   stop   undoes all of it
# Beside it:
#   wifi_ap.sh.log          one line per run: the action and the exit status
#   wifi_ap.sh.start-exit   exit status of "start" (default 0); likewise .stop-exit
#   wifi_ap.sh.delay        seconds each run takes (default 0)
#   wifi_ap.sh.break        words naming what "start" leaves out: hostapd, dhcp, up,
#                           address, ap-mode; "dnsmasq" serves DHCP with dnsmasq instead
# The daemon's preloads (a sanitizer runtime, the simulated libgpiod) are no business of
# the tools run from here, and would only slow each of them down.
unset LD_PRELOAD
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
me="$here/wifi_ap.sh"
run="$root/sim/ap"
wlan="$root/sys/class/net/wlan0"
action=${1:-}

broken() { [ -f "$me.break" ] && grep -qw -- "$1" "$me.break"; }

# put FILE TEXT, replacing the file in one step so a reader never sees it half written.
put() { printf '%s\n' "$2" > "$1.new.$$" && mv -f "$1.new.$$" "$1"; }

# launch NAME CONFIG: a simulated daemon NAME whose command line holds CONFIG's path.
launch() {
  cp "$root/sim/bin/.ap-daemon" "$run/$1"
  chmod +x "$run/$1"
  setsid "$run/$1" -B "$run/$2" </dev/null >/dev/null 2>&1 &
  echo $! > "$run/$1.pid"
}

kill_all() {
  for pidfile in "$run"/*.pid; do
    [ -e "$pidfile" ] || continue
    kill "$(cat "$pidfile")" 2>/dev/null
    rm -f "$pidfile"
  done
}

[ -f "$me.delay" ] && sleep "$(cat "$me.delay")"
mkdir -p "$run"
case "$action" in
  start)
    kill_all
    broken hostapd || launch hostapd tesmar-hostapd.conf
    if ! broken dhcp; then
      if broken dnsmasq; then launch dnsmasq tesmar-wifi.conf; else launch udhcpd tesmar-udhcpd.conf; fi
    fi
    if [ -d "$wlan" ]; then
      if broken up; then put "$wlan/operstate" down; else put "$wlan/operstate" up; fi
      if broken address; then rm -f "$wlan/sim_inet"; else put "$wlan/sim_inet" 192.168.8.1/24; fi
      if broken ap-mode; then put "$wlan/sim_type" managed; else put "$wlan/sim_type" AP; fi
    fi
    status=$(cat "$me.start-exit" 2>/dev/null || echo 0)
    ;;
  stop)
    kill_all
    if [ -d "$wlan" ]; then
      put "$wlan/operstate" down
      rm -f "$wlan/sim_inet"
      put "$wlan/sim_type" managed
    fi
    status=$(cat "$me.stop-exit" 2>/dev/null || echo 0)
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    status=2
    ;;
esac
echo "$action $status" >> "$me.log"
exit "$status"
