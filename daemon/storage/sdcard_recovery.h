// SD card recovery: a thread that keeps the card's file system mounted below "/home/pi".
// Every 3 seconds it checks the card's mount; when the mount has vanished, turned
// read-only or stopped answering it clears the mount, resets the card through the MMC
// driver (unbind, bind, probe) and mounts the first partition again with systemd-mount,
// reporting success as sdcard_recovered. The storage LED shows the state.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

// The recovery states; their names are also the texts of the log.
enum sdcard_recovery_state : unsigned {
    MOUNTED = 0,
    DEGRADED = 1,
    UNBOUND = 2,
    REMOUNTING = 3,
};

// Results of sdcard_health_check.
enum sdcard_health : int {
    HEALTH_OK = 0,        // card mount present, writable, answers
    HEALTH_NO_MOUNT = 1,  // no card mount (or the mount table is unreadable)
    HEALTH_IO_ERROR = 2,  // statistics, opening or reading the mount directory failed
    HEALTH_READ_ONLY = 3, // mounted read-only
};

// Forgets the MMC address and the label and starts in MOUNTED; always 0.
int sdcard_recovery_init();
// 0 when started or already running, -1 when the thread could not be created.
int sdcard_recovery_start();
// Both end and join the thread when it runs: at once during a pause; a remount already
// under way finishes first.
void sdcard_recovery_stop();
void sdcard_recovery_cleanup();

int sdcard_health_check();

// The systemd mount-unit name of PATH, escaped as systemd does ("/" becomes "-"; "-",
// "\", blanks and every other character outside [A-Za-z0-9:_.] become "\xNN").
std::string mount_unit_name(std::string_view path);

// The label to mount the card under, from blkid's output: its first line, cut to 63
// characters, or "mmcblk0" when that is empty, begins with "." (so ".", "..", ".ssh" or
// ".config" can never cover a hidden directory of the home), or holds a "/" or a control
// character, so the mount point is always one directory right below "/home/pi".
std::string sdcard_label_from(std::string_view blkid_output);

// The current state, for tests and diagnostics.
unsigned sdcard_recovery_get_state();

// Eject hold: set by an eject from its start (so no remount races its unmounts) and kept
// when it succeeds, so the recovery does not mount the card again while it still sits in
// its slot. While it holds, the recovery mounts, binds and unbinds
// nothing; it ends once the card has left its slot (the card was taken out; putting it
// back mounts it as any inserted card), or with the daemon (sdcard_recovery_init). A card
// out for less than one look is still seen leaving: its partition node coming or going
// during the hold is watched by events.
void sdcard_recovery_set_eject_hold(bool hold);
bool sdcard_recovery_eject_held();
// Waits (at most LIMIT) until the recovery has run one whole pass that saw the hold from
// its start, so whatever it was doing before (a remount, an unbind) is over and nothing of
// it mounts the card again. True at once when the recovery does not run; false when LIMIT
// passed first.
bool sdcard_recovery_settle_hold(std::chrono::milliseconds limit);
// True while the card sits in its slot, mounted or not: its partition has a device node,
// or the MMC host still holds a card at the address the recovery found.
bool sdcard_recovery_card_in_slot();
// Wakes the recovery for a poll at once (after an eject, so its state and the storage LED
// follow without waiting for the next regular poll).
void sdcard_recovery_poll_now();

// Test seam: the pauses of the recovery (call before the thread starts).
struct sdcard_recovery_timing {
    std::chrono::milliseconds poll{3000};          // between two checks
    std::chrono::milliseconds bind_settle{2000};   // after writing bind, before the probe
    std::chrono::milliseconds mount_settle{1000};  // after systemd-mount, before the check
    std::chrono::milliseconds mount_deadline{10000};  // how long the new mount may take
    std::chrono::milliseconds hold_watch{500};     // looks for the card's removal while held
};
void sdcard_recovery_set_timing(const sdcard_recovery_timing &timing);
