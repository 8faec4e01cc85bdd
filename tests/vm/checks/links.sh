#!/bin/bash
# The uplinks with real radios and a real serial line: WiFi (hostapd on mac80211_hwsim, a
# station on the other radio), 4G (the stand-in dialer, the interface's flags, the AT port
# over ftdi_sio), then access through the socket's group.
. "$(dirname "$0")/lib.sh"
led() { awk -v n="$1" '$2 == n { b = $3 } END { print b }' "$led_log"; }

# --- 4G (switched on by the key in hw.sh, or here) ---
ctl 4g on >/dev/null
if until_true 60 sh -c 'ip link show wwu1u2i4 | grep -q ",UP"' &&
   until_true 30 sh -c "[ \"\$(awk '\$2 == \"sys_led6\" { b = \$3 } END { print b }' $led_log)\" = 1 ]"; then
  # While dialling, the LED blinked: it went on and off at least twice before staying on.
  rises=$(awk '$2 == "sys_led6" && $3 == 1' "$led_log" | wc -l)
  if [ "$rises" -ge 2 ]; then ok 4g-led-blinks-then-steady; else not_ok 4g-led-blinks-then-steady "LED went on $rises times"; fi
else
  not_ok 4g-led-blinks-then-steady "interface or LED not up: $(tail -3 /run/vm-board/dialer.log | tr '\n' ' ')"
fi
starts=$(grep -c ' start' /run/vm-board/dialer.log)
ip link set wwu1u2i4 down
if until_true 90 sh -c "[ \$(grep -c ' start' /run/vm-board/dialer.log) -gt $starts ] || journalctl -q -u tesmar_gpio -o cat | tail -20 | grep -q '4G enabled -> starting'" &&
   until_true 60 sh -c 'ip link show wwu1u2i4 | grep -q ",UP"'; then
  ok 4g-interface-down-redialled
else
  not_ok 4g-interface-down-redialled "$(journalctl -q -u tesmar_gpio -o cat | grep LINK | tail -3 | tr '\n' ' ')"
fi
info=$(ctl 4g info 2>&1)
if echo "$info" | grep -q '17'; then ok 4g-info-over-usb-serial; else not_ok 4g-info-over-usb-serial "$(echo "$info" | head -4 | tr '\n' ' ')"; fi

# --- WiFi ---
ctl wifi on >/dev/null
if until_true 90 sh -c 'pgrep -x hostapd >/dev/null && ip addr show wlan0 | grep -q "inet 192.168.50.1/"'; then
  ok wifi-on-starts-access-point
else
  not_ok wifi-on-starts-access-point "$(journalctl -q -u tesmar_gpio -o cat | grep -i wifi | tail -3 | tr '\n' ' ')"
fi
ssid=$(sed -n 's/^SSID=//p' /etc/tesmar_gpio/wifi_ap.conf | tail -1)
ssid=${ssid:-TesMar-Gateway}
pass=$(cat /var/lib/tesmar_gpio/wifi_ap.passphrase 2>/dev/null)
join() {  # join PASSPHRASE: wpa_supplicant on wlan1; success when it completes
  pkill -x wpa_supplicant; sleep 0.5
  printf 'ctrl_interface=/run/wpa_supplicant\nnetwork={\n ssid="%s"\n psk="%s"\n}\n' "$ssid" "$1" > /run/vm-board/wpa.conf
  wpa_supplicant -B -i wlan1 -c /run/vm-board/wpa.conf >/dev/null || return 1
  until_true 40 sh -c 'wpa_cli -i wlan1 status | grep -q wpa_state=COMPLETED'
}
if [ -z "$pass" ]; then
  not_ok wifi-station-joins-and-leases "no passphrase in /var/lib/tesmar_gpio"
elif join "$pass"; then
  lease=$(timeout 40 busybox udhcpc -i wlan1 -n -q -t 8 -s /bin/true 2>&1 | grep -o 'lease of [0-9.]*')
  if echo "$lease" | grep -q '192.168.50.'; then ok "wifi-station-joins-and-leases ($lease)"
  else not_ok wifi-station-joins-and-leases "joined, no lease: $lease"; fi
else
  not_ok wifi-station-joins-and-leases "$(wpa_cli -i wlan1 status | grep wpa_state)"
fi
if join "wrong-${pass}x"; then not_ok wifi-wrong-passphrase-refused "joined"; else ok wifi-wrong-passphrase-refused; fi
pkill -x wpa_supplicant
ctl wifi off >/dev/null
check wifi-off-stops-access-point until_true 60 sh -c '! pgrep -x hostapd && ! ip addr show wlan0 | grep -q "inet 192.168.50.1/"'

# --- Access: the socket's group ---
usermod -aG tesmar_gpio pi
check access-group-member-allowed runuser -u pi -- tesmar_gpioctl status
if runuser -u visitor -- tesmar_gpioctl status >/dev/null 2>&1; then
  not_ok access-other-user-refused "visitor got an answer"
else
  ok access-other-user-refused
fi

# --- Confinement: nothing the daemon or its jobs ran was refused by the unit ---
refused=$(journalctl -q -b -u tesmar_gpio -o cat | grep -iE 'operation not permitted|EPERM|permission denied|capabilit' | sort -u | head -5)
if [ -z "$refused" ]; then ok confinement-no-refusals; else not_ok confinement-no-refusals "$(echo "$refused" | tr '\n' ' ')"; fi
