# The link manager's part of the simulated board: the network interfaces it reads, the
# modem's connection manager, the access-point script, and ip, iw and pgrep stand-ins.
#   sys/class/net/end2/operstate          Ethernet carrier shown on LED7 ("up" / "down")
#   sys/class/net/wlan0/{operstate,sim_inet,sim_type}   the access point's interface
#   sys/class/net/wwu1u2i4/flags          the modem's interface (bit 0: up)
#   usr/bin/quectel-CM, usr/lib/tesmar_gpio/wifi_ap.sh   stand-ins (see their headers)
for dev in end2 wlan0 wwu1u2i4; do
  mkdir -p "$root/sys/class/net/$dev"
done
put "$root/sys/class/net/end2/operstate" "up
"
put "$root/sys/class/net/end2/flags" "0x1003
"
put "$root/sys/class/net/wlan0/operstate" "down
"
put "$root/sys/class/net/wlan0/flags" "0x1003
"
put "$root/sys/class/net/wlan0/sim_type" "managed
"
put "$root/sys/class/net/wwu1u2i4/operstate" "down
"
put "$root/sys/class/net/wwu1u2i4/flags" "0x1002
"
mkdir -p "$root/var/lib/tesmar_gpio" "$root/usr/bin" "$root/usr/lib/tesmar_gpio" "$root/sim/ap"

# install SOURCE TARGET: an executable copy, unless the target is already there.
install_stand_in() {
  [ -e "$2" ] || { cp "$1" "$2" && chmod 755 "$2"; }
}
install_stand_in "$sim/link/quectel-CM" "$root/usr/bin/quectel-CM"
install_stand_in "$sim/link/wifi_ap.sh" "$root/usr/lib/tesmar_gpio/wifi_ap.sh"
install_stand_in "$sim/link/ap-daemon" "$root/sim/bin/.ap-daemon"
for tool in ip iw pgrep; do
  install_stand_in "$sim/link/$tool" "$root/sim/bin/$tool"
done
