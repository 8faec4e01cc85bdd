#!/bin/bash
# The unit under the real service manager: readiness, log priorities, confinement rating,
# stop, restart after a kill, and the watchdog.
. "$(dirname "$0")/lib.sh"

# Active means READY=1 came; by then the control socket must answer at the first try.
systemctl restart tesmar_gpio
check unit-ready-means-serving ctl status
check unit-active test "$(systemctl is-active tesmar_gpio)" = active

# Each line reaches the journal with the priority the daemon gave it, no "<N>" left in it.
pid=$(main_pid)
json=$(journalctl -q -b -o json --output-fields=MESSAGE,PRIORITY _PID="$pid")
ready_line=$(echo "$json" | grep -F '"All services started"')
if ! echo "$ready_line" | grep -qF '"PRIORITY":"6"'; then
  not_ok unit-journal-priorities "no 'All services started' at priority 6 for pid $pid"
elif echo "$json" | grep -q '"MESSAGE":"<[0-7]>'; then
  not_ok unit-journal-priorities "a line kept its <N> prefix"
else
  ok unit-journal-priorities
fi

level=$(systemd-analyze security --no-pager tesmar_gpio 2>&1 | sed -n 's/.*Overall exposure level for tesmar_gpio.service: \([0-9.]*\).*/\1/p')
if [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 6.0) }'; then
  ok "unit-security-rating ($level)"
else
  not_ok unit-security-rating "exposure ${level:-unknown}, above 6.0"
fi

# A stop ends the daemon well inside its limit, with status 0, and frees every line.
limit=$(systemctl show -p TimeoutStopUSec --value tesmar_gpio)
start=$SECONDS
systemctl stop tesmar_gpio
took=$((SECONDS - start))
result=$(systemctl show -p Result --value tesmar_gpio)
status=$(systemctl show -p ExecMainStatus --value tesmar_gpio)
if [ "$result" = success ] && [ "$status" = 0 ]; then
  ok "unit-stop-status-0 (${took} s, limit $limit)"
else
  not_ok unit-stop-status-0 "result $result, status $status after ${took} s"
fi
used=$(gpioinfo 2>&1 | grep -c 'consumer=' || true)
if [ "$used" = 0 ]; then ok unit-stop-releases-lines; else
  not_ok unit-stop-releases-lines "$(gpioinfo | grep consumer= | tr '\n' ' ')"; fi

systemctl start tesmar_gpio
# Every line of the board's table is requested, with the direction of its role.
info=$(gpioinfo 2>&1)
bad=""
while read -r name chip offset _; do
  row=$(echo "$info" | grep -F "\"$name\"")
  case "$name" in
    BEEP | VOUT12V | NA) want=output ;;
    4G | VALID1 | VALID2 | WIFI) want=input ;;
    *) continue ;;  # the LEDs' lines belong to the kernel's gpio-leds on the board
  esac
  echo "$row" | grep -q "consumer=" || bad+=" $name:unused"
  echo "$row" | grep -qw "$want" || bad+=" $name:not-$want"
done < /run/vm-board/lines
if [ -z "$bad" ]; then ok unit-lines-requested; else not_ok unit-lines-requested "$bad"; fi

# A second daemon finds the lines taken and gives up; the first one keeps serving.
second=$(timeout 60 /usr/sbin/tesmar_gpio -f 2>&1)
rc=$?
if [ $rc -ne 0 ] && [ $rc -ne 124 ] && ctl status >/dev/null 2>&1; then
  ok gpio-second-daemon-refused
else
  not_ok gpio-second-daemon-refused "exit $rc: $(echo "$second" | tail -2 | tr '\n' ' ')"
fi

# kill -9: the manager restarts it (RestartSec=5).
old=$(main_pid)
kill -9 "$old"
if until_true 90 sh -c "p=\$(systemctl show -p MainPID --value tesmar_gpio); [ \$p != 0 ] && [ \$p != $old ] && systemctl is-active -q tesmar_gpio"; then
  ok unit-kill-9-restarts
else
  not_ok unit-kill-9-restarts "no new daemon after 90 s ($(systemctl is-active tesmar_gpio))"
fi

# A frozen daemon stops feeding the watchdog: killed and restarted. The drop-in shortens
# the unit's 30 s for the test only.
mkdir -p /run/systemd/system/tesmar_gpio.service.d
printf "[Service]\nWatchdogSec=6\nTimeoutAbortSec=10\n" > /run/systemd/system/tesmar_gpio.service.d/90-vm-watchdog.conf
systemctl daemon-reload
systemctl restart tesmar_gpio
old=$(main_pid)
kill -STOP "$old"
if until_true 120 sh -c "p=\$(systemctl show -p MainPID --value tesmar_gpio); [ \$p != 0 ] && [ \$p != $old ] && systemctl is-active -q tesmar_gpio"; then
  if journalctl -q -b -u tesmar_gpio -o cat | grep -q 'Watchdog timeout'; then
    ok unit-watchdog-restarts-frozen
  else
    not_ok unit-watchdog-restarts-frozen "restarted, but not by the watchdog"
  fi
else
  not_ok unit-watchdog-restarts-frozen "no restart after 120 s"
fi
rm -f /run/systemd/system/tesmar_gpio.service.d/90-vm-watchdog.conf
systemctl daemon-reload
systemctl restart tesmar_gpio
