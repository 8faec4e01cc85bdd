#!/bin/bash
# The SD card through the MMC stack, in stages between which tests/vm/run pulls the card
# and puts it back through qemu's monitor:
#   sd.sh boot | pulled | back | readonly | remove | removed-back
. "$(dirname "$0")/lib.sh"
mnt=/home/pi/tmData
mounted_rw() { findmnt -n -o OPTIONS "$mnt" | grep -q '^rw'; }
notified() { grep -q "event=$1" /run/vm-board/notify.log 2>/dev/null; }
events() { grep -c "event=$1" /run/vm-board/notify.log 2>/dev/null || true; }
case "$1" in
  boot)
    if until_true 180 mounted_rw; then
      ok "sd-mounted-at-boot ($(findmnt -n -o SOURCE "$mnt"))"
    else
      not_ok sd-mounted-at-boot "nothing at $mnt: $(findmnt -n -l | grep mmc | tr '\n' ' ')"
    fi
    check sd-led-lit until_true 20 sh -c "[ \"\$(awk '\$2 == \"sys_led3\" { b = \$3 } END { print b }' $led_log)\" = 1 ]"
    events sdcard_unplug > /run/vm-board/unplugs
    ;;
  pulled)
    if until_true 30 sh -c "[ \$(grep -c event=sdcard_unplug /run/vm-board/notify.log) -gt $(cat /run/vm-board/unplugs) ]"; then
      ok sd-pull-notified
    else
      not_ok sd-pull-notified "no sdcard_unplug request"
    fi
    check sd-pull-led-dark until_true 20 sh -c "[ \"\$(awk '\$2 == \"sys_led3\" { b = \$3 } END { print b }' $led_log)\" = 0 ]"
    check sd-pull-unmounted until_true 30 sh -c "! findmnt $mnt"
    events sdcard_plugin > /run/vm-board/plugins
    ;;
  back)
    check sd-put-back-mounted until_true 60 mounted_rw
    check sd-put-back-notified until_true 30 sh -c "[ \$(grep -c event=sdcard_plugin /run/vm-board/notify.log) -gt $(cat /run/vm-board/plugins) ]"
    ;;
  readonly)
    # A card gone read-only (as after I/O errors) is recovered by unbinding and binding
    # the MMC driver, then mounted read-write again.
    mark /run/vm-board/cursor.ro
    until_true 30 mounted_rw
    mount -o remount,ro "$mnt"
    if until_true 90 sh -c "journalctl -q -u tesmar_gpio --after-cursor=\"\$(cat /run/vm-board/cursor.ro)\" -o cat | grep -Eqi 'unbind|unbound MMC'" &&
       until_true 90 mounted_rw; then
      ok sd-readonly-recovered-by-rebind
    else
      not_ok sd-readonly-recovered-by-rebind "$(journalctl -q -u tesmar_gpio --after-cursor="$(cat /run/vm-board/cursor.ro)" -o cat | tail -4 | tr '\n' ' ')"
    fi
    check sd-recovered-notified until_true 30 notified sdcard_recovered
    ;;
  remove)
    until_true 60 mounted_rw
    setsid bash -c "exec 3>$mnt/held; exec sleep 600" </dev/null >/dev/null 2>&1 &
    holder=$!
    until_true 10 sh -c "fuser -m $mnt"
    out=$(ctl sdcard remove 2>&1)
    if until_true 20 sh -c "! kill -0 $holder" && ! findmnt "$mnt" >/dev/null; then
      ok sd-remove-kills-holder-and-unmounts
    else
      kill "$holder" 2>/dev/null
      not_ok sd-remove-kills-holder-and-unmounts "$out; $(findmnt -n "$mnt")"
    fi
    # Held: the card stays out of the mount table until it is pulled.
    sleep 8
    if findmnt "$mnt" >/dev/null; then not_ok sd-remove-holds "mounted again while the card is in"
    else ok sd-remove-holds; fi
    ;;
  removed-back)
    check sd-after-remove-pull-and-back-mounted until_true 60 mounted_rw
    ;;
esac
