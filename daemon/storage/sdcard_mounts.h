// Which mounts are the SD card's. The presence monitor, the recovery thread and the eject
// and status commands all decide with these helpers, over mount points already decoded
// from the mount table's octal escapes.
#pragma once

#include "config.h"
#include "mount_table.h"

#include <string>
#include <string_view>
#include <vector>

// Where the card's file system is mounted, and the automount directory of the desktop.
// The base is the configuration's card_mount_dir ("/home/pi" unless configured).
#define SDCARD_MOUNT_BASE (config().card_mount_dir.c_str())
inline constexpr const char SDCARD_AUTOMOUNT_BASE[] = "/run/media";
// Text in the device field of every mount of the card or one of its partitions.
inline constexpr const char SDCARD_DEVICE_MATCH[] = "mmcblk0";

// True when PATH lies strictly below the directory BASE ("BASE/x", not BASE itself) and
// none of its components is "." or "..", so the path cannot climb out of BASE.
bool sdcard_path_below(std::string_view path, std::string_view base);

// The card-mount rule: the device names the card and the mount point lies below
// "/home/pi".
bool sdcard_is_card_mount(const mount_entry &entry);

// Reads the board's mount table into ENTRIES; false when it cannot be opened.
bool sdcard_read_mounts(std::vector<mount_entry> &entries);

// The card mounts of the board's table, in table order; empty when it is unreadable.
std::vector<mount_entry> sdcard_card_mounts();

// True when the table holds a card mount at exactly PATH (decoded).
bool sdcard_is_card_mount_point(std::string_view path);
