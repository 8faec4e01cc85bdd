#!/bin/bash
# GPIO through libgpiod and gpio-sim, and the LEDs through the LED class and its timer
# trigger, as uleds hands their brightness changes to the recorder.
. "$(dirname "$0")/lib.sh"

input_is() { ctl input "$1" | grep -qx "$1: $2"; }
check gpio-idle-levels sh -c 'tesmar_gpioctl input | tr -s " " | grep -q "VALID1: HIGH" &&
  tesmar_gpioctl input | tr -s " " | grep -q "VALID2: LOW"'
# The power inputs follow their lines both ways.
for line in VALID1:valid1 VALID2:valid2; do
  name=${line%:*} word=${line#*:}
  before=$(ctl input "$word" | sed 's/.*: //')
  if [ "$before" = HIGH ]; then flip=pull-down after=LOW back=pull-up; else flip=pull-up after=HIGH back=pull-down; fi
  board pull "$name" "$flip"
  if until_true 20 input_is "$word" "$after"; then
    board pull "$name" "$back"
    if until_true 20 input_is "$word" "$before"; then ok "gpio-power-input-follows-$word"
    else not_ok "gpio-power-input-follows-$word" "stayed $after"; fi
  else
    board pull "$name" "$back"
    not_ok "gpio-power-input-follows-$word" "stayed $before with the line at $after"
  fi
done

# 12 V and the beeper, read back from the simulated line's value.
drives() {  # drives NAME WANT CMD…
  local name=$1 want=$2
  shift 2
  ctl "$@" >/dev/null && until_true 10 sh -c "[ \"\$(board value $name)\" = $want ]"
}
check gpio-12v-on drives VOUT12V 1 power 12v on
check gpio-12v-off drives VOUT12V 0 power 12v off
check gpio-beep-on drives BEEP 1 beep on
check gpio-beep-off drives BEEP 0 beep off

# The 4G key: a press flips the switch once; a second press inside the 10 s debounce does
# nothing. (The press turns 4G on; the 4G scenario goes on from there.)
switch_is() { ctl "$1" status | grep -q "$2"; }
was=$(ctl 4g status)
mark /run/vm-board/cursor.key
board press 4G
if until_true 20 sh -c "[ \"\$(tesmar_gpioctl 4g status)\" != \"$was\" ]"; then
  ok gpio-key-toggles-switch
  now=$(ctl 4g status)
  board press 4G
  if until_true 10 journal_has /run/vm-board/cursor.key "4G toggle ignored (debounce" &&
     [ "$(ctl 4g status)" = "$now" ]; then ok gpio-key-debounced
  else not_ok gpio-key-debounced "second press within 10 s: $(ctl 4g status)"; fi
else
  not_ok gpio-key-toggles-switch "4g stayed '$was' after a press"
  skip gpio-key-debounced "no first toggle"
fi
if grep -q 'key_pressed&key=4G&status=' /run/vm-board/notify.log 2>/dev/null; then
  ok notify-key-pressed
else
  not_ok notify-key-pressed "no key_pressed request reached 127.0.0.1:80"
fi

# LEDs, as the recorder saw them.
# within WANT MS…: at least three periods, their median within 20 % of WANT. The median,
# as the emulated CPU on a busy machine now and then runs a timer late.
within() {
  local want=$1
  shift
  [ $# -ge 3 ] || return 1
  printf '%s\n' "$@" | sort -n | awk -v w="$want" '{ v[NR] = $1 } END { m = v[int((NR + 1) / 2)]; exit !(m >= w * 0.8 && m <= w * 1.2) }'
}
check led-steady-on sh -c 'tesmar_gpioctl led data on >/dev/null && sleep 1 &&
  [ "$(awk "\$2 == \"sys_led4\" { b = \$3 } END { print b }" /run/vm-board/leds.log)" = 1 ]'
check led-steady-off sh -c 'tesmar_gpioctl led data off >/dev/null && sleep 1 &&
  [ "$(awk "\$2 == \"sys_led4\" { b = \$3 } END { print b }" /run/vm-board/leds.log)" = 0 ]'
for case in "blink:1000" "blink 5:200" "blink 2:500"; do
  args=${case%:*} period=${case#*:}
  # shellcheck disable=SC2086
  ctl led data $args >/dev/null
  sleep 0.5
  start=$(awk '{ print $1 }' /proc/uptime)  # boot time: the monotonic clock, in a VM never suspended
  sleep $(( period * 6 / 1000 + 1 ))
  # Rises of sys_led4 in the window, and the periods between them.
  periods=$(awk -v s="$start" '$2 == "sys_led4" && $1 > s' "$led_log" |
    awk '$3 > 0 && prev == 0 { if (last != "") printf "%d ", ($1 - last) * 1000; last = $1 } { prev = $3 }' prev=1)
  # shellcheck disable=SC2086
  if within "$period" $periods; then ok "led-${args// /-}-period-$period-ms"
  else not_ok "led-${args// /-}-period-$period-ms" "periods: ${periods:-none}; trigger: $(cat /sys/class/leds/sys_led4/trigger | grep -o '\[[a-z-]*\]')"; fi
done
ctl led data off >/dev/null
