#!/bin/bash
# Lifetime: the switches across a clean reboot and across a VM killed at once.
#   life.sh before-reboot | after-reboot | after-kill
. "$(dirname "$0")/lib.sh"
state=/var/lib/tesmar_gpio/link_state
switches() { echo "4g=$(ctl 4g status | grep -o 'ON\|OFF') wifi=$(ctl wifi status | grep -o 'ON\|OFF')"; }
case "$1" in
  before-reboot)
    ctl 4g on >/dev/null
    ctl wifi off >/dev/null
    switches > /var/lib/vm-board-switches
    sync
    check life-switches-readable test -n "$(cat /var/lib/vm-board-switches)"
    ;;
  after-reboot)
    until_true 60 ctl status
    now=$(switches)
    if [ "$now" = "$(cat /var/lib/vm-board-switches)" ]; then ok "life-switches-survive-reboot ($now)"
    else not_ok life-switches-survive-reboot "before: $(cat /var/lib/vm-board-switches), after: $now"; fi
    check life-4g-redialled-after-boot until_true 90 sh -c 'ip link show wwu1u2i4 | grep -q ",UP"'
    ;;
  after-kill)
    # The file is either the old or the new line, never empty or torn.
    if grep -qxE '[01] [01]' "$state"; then ok "life-state-file-whole-after-kill ($(cat "$state"))"
    else not_ok life-state-file-whole-after-kill "content: '$(od -c "$state" | head -2 | tr '\n' ' ')'"; fi
    check life-daemon-up-after-kill until_true 60 ctl status
    ;;
esac
