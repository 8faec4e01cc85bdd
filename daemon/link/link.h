// The link manager: the persistent 4G and WiFi switches (keys and control commands flip
// them), the 4G worker that runs the modem's connection manager, the WiFi worker that
// runs the access-point script, and the manager thread with the Ethernet LED and the
// periodic access-point check and recovery.
#pragma once

#include <cstdint>

enum link_state : int {
    LINK_OFF = 0,
    LINK_STARTING,
    LINK_UP,
    LINK_FAILED
};

// Loads the switches from the state file and registers the input callbacks; starts
// nothing. Always 0.
int link_init();
// Starts the two workers and the manager thread and hands them the switches that are on.
// 0 (also when already running), -1 when a thread could not be created.
int link_start();
// Ends and joins the threads, stops the dialer and the access point; the switches and the
// state file stay. Always 0.
int link_stop();
void link_cleanup();

// Input-monitor callbacks (run on its polling thread with its lock held).
void link_on_4g_key(unsigned int id, int level, std::uintptr_t user_data);
void link_on_wifi_key(unsigned int id, int level, std::uintptr_t user_data);
void link_on_valid1(unsigned int id, int level, std::uintptr_t user_data);

// Flips without debounce or notification; returns the new switch value (0 or 1).
int link_toggle_4g();
int link_toggle_wifi();
int link_get_4g_enabled();
int link_get_wifi_enabled();

// Current link_state of each link.
int link_get_4g_state();
int link_get_wifi_state();

// 1 when the modem's interface has its administrative up flag, else 0.
int link_4g_iface_up();
// Runs the access-point script with ACTION ("start" or "stop"): its exit status (128 +
// signal number when a signal ended it), or -1 when it could not be run.
int link_wifi_script(const char *action);
// 1 when the access point passes every step of the check, else 0 after one log line.
int link_wifi_health_check();

// Sets a switch to VALUE (nonzero on). A switch already there is left alone: not
// flipped, not saved, not announced. Returns 1 when it changed, else 0.
int link_set_4g(int value);
int link_set_wifi(int value);

// A consistent-enough look at both links for the link-state command; never waits for a
// dial, a start or a recovery under way.
struct link_snapshot {
    int switch_4g;
    int state_4g;       // link_state
    int attempts_4g;    // dial attempts since the link was last up or off
    int iface_4g_up;
    int dialer_pid;     // -1 when none
    int switch_wifi;
    int state_wifi;     // link_state
    int attempts_wifi;  // access-point recoveries since it was last healthy
};
link_snapshot link_get_snapshot();
