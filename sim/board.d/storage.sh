# The SD card, the MMC driver, the mount table, the INA236 power monitor and the rtty
# service, with stand-ins for the programs the storage commands run. The card starts out
# of the slot; sim/sdcard inserts, mounts, removes, labels or breaks it.

mkdir -p "$root/proc" "$root/dev" "$root/sbin" "$root/sim/lib" "$root/sim/card" "$root/sim/fail" \
  "$root/sim/services/rtty" "$root/home/pi" "$root/run/media" "$root/tmp"
put "$root/proc/mounts" "/dev/root / ext4 rw,relatime 0 0
proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0
tmpfs /run tmpfs rw,nosuid,nodev,mode=755 0 0
"

# The driver directory as the kernel shows it: control files, the module link, and a
# device link while the card is bound.
mmc_driver=$root/sys/bus/mmc/drivers/mmcblk
mkdir -p "$mmc_driver" "$root/sys/module/mmc_block"
put "$mmc_driver/bind" ""
put "$mmc_driver/unbind" ""
put "$mmc_driver/uevent" "DRIVER=mmcblk
"
[ -e "$mmc_driver/module" ] || ln -s ../../../../module/mmc_block "$mmc_driver/module"

put "$root/sim/card/address" "mmc0:aaaa"
put "$root/sim/card/label" "tmData"
touch "$root/sim/card/users"

# INA236 on the board's I2C bus: 12.034 V, 250 mA, 3.0085 W.
ina236=$root/sys/class/hwmon/hwmon1
mkdir -p "$ina236"
put "$ina236/name" "ina236
"
put "$ina236/in1_input" "12034
"
put "$ina236/curr1_input" "250
"
put "$ina236/power1_input" "3008500
"

[ -e "$root/sim/lib/storage.sh" ] || cp "$sim/storage/lib.sh" "$root/sim/lib/storage.sh"
for program in systemctl systemd-mount umount fuser rm; do
  [ -e "$root/sim/bin/$program" ] || cp "$sim/storage/$program" "$root/sim/bin/$program"
done
[ -e "$root/sbin/blkid" ] || cp "$sim/storage/blkid" "$root/sbin/blkid"

# The card's controls and the driver's kernel side, beside the board they act on.
[ -e "$root/sim/sdcard" ] || cp "$sim/sdcard" "$root/sim/sdcard"
[ -e "$root/sim/mmc-driver" ] || cp "$sim/storage/mmc-driver" "$root/sim/mmc-driver"
