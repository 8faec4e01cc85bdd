#!/bin/bash
# An upgrade from the previous release over a running daemon whose 4G uplink is up: the
# daemon and the dialer stay as they are, and the new version runs from the next restart.
# The previous package is in /root/previous, this one in /root/deb (installed when called).
. "$(dirname "$0")/lib.sh"
previous=$(ls /root/previous/*.deb)
current=$(ls /root/deb/*.deb)
iface_up() { ip link show wwu1u2i4 | grep -q ',UP'; }
# The running daemon's program is the file this package installed (not one replaced since).
runs_installed() { [ /proc/"$1"/exe -ef /usr/sbin/tesmar_gpio ]; }

if ! apt-get install -y -q --allow-downgrades "$previous" >/root/previous/apt.log 2>&1 ||
   ! until_true 60 ctl status; then
  not_ok upgrade-previous-installed "$(tail -3 /root/previous/apt.log | tr '\n' ' ')"
  apt-get install -y -q "$current" >/dev/null 2>&1
  exit 0
fi
ctl 4g on >/dev/null
until_true 90 iface_up
old=$(main_pid)
dialer=$(pgrep -x quectel-CM)
if apt-get install -y -q "$current" >/root/deb/upgrade.log 2>&1 &&
   [ "$(dpkg-query -W -f '${Version}' tesmar-gpio)" = "$(dpkg-deb -f "$current" Version)" ]; then
  ok "upgrade-installs ($(dpkg-deb -f "$previous" Version) -> $(dpkg-deb -f "$current" Version))"
else
  not_ok upgrade-installs "$(tail -3 /root/deb/upgrade.log | tr '\n' ' ')"
fi
# Give a restart, had the upgrade asked for one, time to happen.
sleep 5
if [ "$(main_pid)" = "$old" ] && ! runs_installed "$old" && ctl status >/dev/null; then
  ok upgrade-leaves-daemon-running
else
  not_ok upgrade-leaves-daemon-running "main pid $old -> $(main_pid), $(systemctl is-active tesmar_gpio)"
fi
if [ -n "$dialer" ] && [ "$(pgrep -x quectel-CM)" = "$dialer" ] && iface_up; then
  ok upgrade-leaves-uplink-up
else
  not_ok upgrade-leaves-uplink-up "dialer '$dialer' -> '$(pgrep -x quectel-CM)'"
fi
systemctl restart tesmar_gpio
new=$(main_pid)
if [ "$new" != "$old" ] && [ "$new" != 0 ] && runs_installed "$new" && until_true 60 ctl status; then
  ok upgrade-new-version-runs-after-restart
else
  not_ok upgrade-new-version-runs-after-restart "main pid $old -> $new, $(systemctl is-active tesmar_gpio)"
fi
check upgrade-4g-redialled-after-restart until_true 90 iface_up
