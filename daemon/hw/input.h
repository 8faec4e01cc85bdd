// The input monitor: polls the four input lines on a thread of its own, keeps the last
// level of each and calls a registered callback when a level changes.
#pragma once

#include <cstdint>

// input id, new level (0 or 1), user data given at registration.
using input_callback = void (*)(unsigned int id, int level, std::uintptr_t user_data);

int input_monitor_init(int interval_ms);
int input_monitor_start();
// Wakes the polling thread from its sleep and joins it.
int input_monitor_stop();
void input_monitor_cleanup();

// Last polled levels: 1 high, 0 low, -1 when no read has succeeded yet.
int input_get_cached(int id);
int input_get_4g();
int input_get_valid1();
int input_get_valid2();
int input_get_wifi();

// Callbacks run on the polling thread with the module's lock held: they must not call
// back into this module.
int input_set_callback(int id, input_callback callback, std::uintptr_t user_data);
int input_set_interval(int interval_ms);
