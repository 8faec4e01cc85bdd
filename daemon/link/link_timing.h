// The link manager's clock and intervals, in one place so that tests can run a fake clock
// and shorter waits. The daemon never changes them.
#pragma once

#include <chrono>

namespace link_timing {

using clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Monotonic: a wall clock set back by NTP must not silence a key or a check.
inline clock::time_point (*now)() = &clock::now;

inline constexpr std::chrono::seconds key_debounce = 10s;
inline std::chrono::milliseconds worker_4g_wait = 10s;   // between the 4G worker's checks
inline std::chrono::milliseconds dial_step = 1s;         // between looks at the interface
inline int dial_steps = 30;                              // looks before a dial times out
inline std::chrono::milliseconds kill_step = 100ms;      // between looks at a stopping dialer
inline int kill_steps = 30;                              // looks before SIGKILL
inline std::chrono::milliseconds ap_settle = 2s;         // after "start" before the check
inline std::chrono::milliseconds recovery_pause = 2s;    // between "stop" and "start"
inline std::chrono::milliseconds recovery_settle = 3s;   // after a recovery's "start"
inline std::chrono::milliseconds manager_step = 1s;      // one round of the manager thread
inline std::chrono::milliseconds wifi_check_interval = 5s;

// Called between writing the new state file and renaming it into place (null: nothing).
inline void (*before_state_rename)() = nullptr;

}  // namespace link_timing
