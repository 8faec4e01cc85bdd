// The SD card presence monitor: a thread that looks at the mount table every 2 seconds
// and tells the board's web service when the card's mount below "/home/pi" appears
// (sdcard_plugin, with the file system's size) or vanishes (sdcard_unplug). It mounts,
// unmounts and repairs nothing.
#pragma once

#include <chrono>
#include <cstdint>

// 1 when a card mount is in the table, 0 when not (or the table is unreadable). With
// SIZE_KIB given and the card found, stores the file system's total size in KiB when its
// statistics can be read, and leaves *SIZE_KIB alone otherwise.
int notify_sdcard_scan(std::uint64_t *size_kib);

// 0 when started or already running, -1 when the thread could not be created.
int notify_sdcard_monitor_start();
// Ends and joins the thread, at once even in the middle of its pause.
void notify_sdcard_monitor_stop();

// Test seam: the pause between two scans (2 s on the board).
void notify_sdcard_set_interval(std::chrono::milliseconds interval);
