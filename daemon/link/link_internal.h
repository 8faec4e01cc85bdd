// State shared by the link manager's source files (one instance, link_mgr).
#pragma once

#include "link.h"
#include "link_timing.h"

#include "change_feed.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

struct link_manager_state {
    // The switches: written under their request lock, read without it.
    fed_atomic<int> enabled_4g{0, CHANGE_SWITCH, 0};
    fed_atomic<int> enabled_wifi{0, CHANGE_SWITCH, 1};
    int req_4g = -1;    // req_4g_lock; -1 none, 0 off, 1 on
    int req_wifi = -1;  // req_wifi_lock
    // Last accepted key presses; empty until the first. Input monitor thread only.
    std::optional<link_timing::clock::time_point> last_4g_key;
    std::optional<link_timing::clock::time_point> last_wifi_key;
    // Written under their state locks; atomic so that the getters never wait for a dial.
    fed_atomic<int> state_4g{LINK_OFF, CHANGE_LINK_STATE, 0};  // state_4g_lock
    std::atomic<pid_t> dialer_pid{-1};  // written under state_4g_lock; atomic for the link-state reader
    fed_atomic<int> state_wifi{LINK_OFF, CHANGE_LINK_STATE, 1};  // state_wifi_lock
    fed_atomic<int> wifi_recovery_attempts{0, CHANGE_LINK_ATTEMPTS, 1};  // written under state_wifi_lock
    std::atomic<int> dial_attempts_4g{0};  // written under state_4g_lock
    // Counts the worker's starts and stops of the access point (state_wifi_lock), so a
    // periodic check can tell that its result is stale.
    unsigned wifi_generation = 0;
    int eth_link_up = 0;             // manager thread only
    // Loop flags, cleared under the lock of the wait they end so no wake-up is lost.
    std::atomic<int> link_running{0};         // cleared before the pacing event is set
                                              // (link_end_pacing), which no pause can miss
    std::atomic<int> worker_4g_running{0};    // req_4g_lock
    std::atomic<int> worker_wifi_running{0};  // req_wifi_lock
    std::thread worker_4g;
    std::thread worker_wifi;
    std::thread manager;
};

extern link_manager_state link_mgr;
extern std::mutex req_4g_lock;
extern std::mutex req_wifi_lock;
extern std::mutex state_4g_lock;
extern std::mutex state_wifi_lock;
extern std::condition_variable req_4g_cond;
extern std::condition_variable req_wifi_cond;

// Sleeps DURATION, or less when the module stops. False when it stops.
bool link_pace(std::chrono::milliseconds duration);
// Clears link_running and wakes every link_pace at once.
void link_end_pacing();

// Writes the two switches to the state file (atomically replaced).
void link_save_state();
void link_4g_apply(int enable);
// Keeps the counters the link-state command reads in step with a new 4G state.
void link_note_4g_state(int state);
void link_4g_kill_dialer();
void link_4g_worker();
void link_wifi_worker();
void link_manager_thread();
