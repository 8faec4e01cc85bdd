#!/bin/sh
# Writes the daemon's metrics for the node exporter's text-file collector:
#
#   tesmar_gpio-metrics [DIRECTORY [metrics words...]]
#
# The file is written beside its final name and renamed over it, so the exporter never
# reads half a file; the temporary name does not end in .prom, which the exporter skips.
# A daemon that does not answer still gives a file, with tesmar_gpio_up 0 alone.
set -u
dir=${1:-/var/lib/prometheus/node-exporter}
[ $# -gt 0 ] && shift
tmp=$(mktemp "$dir/.tesmar_gpio.prom.XXXXXX") || exit 1
tesmar_gpioctl --timeout=10 metrics "$@" >"$tmp"
status=$?
# mktemp leaves it readable by its owner alone; the exporter runs as another user.
chmod 0644 "$tmp" && mv -f "$tmp" "$dir/tesmar_gpio.prom" || { rm -f "$tmp"; exit 1; }
exit "$status"
