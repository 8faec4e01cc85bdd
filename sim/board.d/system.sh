# The system snapshot's sources and the modem's answers.
#
#   sys/class/thermal/thermal_zone0/temp   CPU temperature in millidegrees
#   sys/class/power_supply/{ac,battery}/   a mains supply and a battery at 87 %
#   proc/meminfo, proc/net/route           links to the host's: the figures agree with the
#                                          memory total and the interfaces the daemon sees
#   sim/fake_modem.script                  what the fake modem on dev/ttyUSB2 answers
#                                          (scripts/sim-daemon starts it; see sim/fake_modem.cpp)

link_unless_present() {  # link_unless_present TARGET LINK
  [ -e "$2" ] || [ -L "$2" ] || ln -s "$1" "$2"
}

mkdir -p "$root/sys/class/thermal/thermal_zone0" "$root/proc/net" \
  "$root/sys/class/power_supply/ac" "$root/sys/class/power_supply/battery" "$root/dev"
put "$root/sys/class/thermal/thermal_zone0/temp" "47850
"
put "$root/sys/class/power_supply/ac/type" "Mains
"
put "$root/sys/class/power_supply/ac/online" "1
"
put "$root/sys/class/power_supply/battery/type" "Battery
"
put "$root/sys/class/power_supply/battery/capacity" "87
"
link_unless_present /proc/meminfo "$root/proc/meminfo"
link_unless_present /proc/net/route "$root/proc/net/route"

# A registered LTE modem with a SIM, as an EC20 answers.
put "$root/sim/fake_modem.script" 'echo on
AT+CSQ ok +CSQ: 24,99
AT+CREG? ok +CREG: 0,1
AT+COPS? ok +COPS: 0,0,"CHINA MOBILE",7
AT+QCCID ok +QCCID: 89860117851014783481
AT+CIMI ok 460011234567890
AT+QENG="servingcell" ok +QENG: "servingcell","CONNECT","LTE","FDD",460,00,5A3B10F,123,1300,3,5,5,1A2B,-95,-10,-65,12,40
AT+QNWINFO ok +QNWINFO: "FDD LTE","46000","LTE BAND 3",1300
'
