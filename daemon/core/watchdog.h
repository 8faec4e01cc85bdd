// The daemon's watchdog. Each long-lived thread marks its progress here with one atomic
// store per loop turn (watchdog_beat), and marks the waits in which it has nothing to do
// (watchdog_idle: a worker waiting for a request, the accept thread waiting for a client,
// a thread waiting for a lock that another watched thread holds through its own step).
// A thread busy for longer than its allowance is stuck.
//
// The main thread's run loop calls watchdog_tick: while no thread is stuck it tells the
// service manager "WATCHDOG=1" every half of the manager's interval; a stuck thread stops
// the pings, so the manager restarts the daemon, and gets one log line naming it. The run
// loop sleeps between ticks for as long as nothing can fall due, so an idle daemon's main
// thread wakes only to ping. Without a watching manager the tick does nothing.
#pragma once

#include <chrono>
#include <optional>

enum watchdog_thread {
    WATCHDOG_INPUT,
    WATCHDOG_LINK_MANAGER,
    WATCHDOG_LINK_4G,
    WATCHDOG_LINK_WIFI,
    WATCHDOG_SDCARD_MONITOR,
    WATCHDOG_SDCARD_RECOVERY,
    WATCHDOG_CTL_ACCEPT,
    WATCHDOG_THREAD_COUNT,
};

// The thread made progress: it is busy from now on. The first beat starts the watch.
void watchdog_beat(int thread);
// The thread waits for work: it cannot be stuck until its next beat.
void watchdog_idle(int thread);

const char *watchdog_thread_name(int thread);
// How long the thread may stay busy between two beats; zero for an unknown thread.
std::chrono::seconds watchdog_allowance(int thread);

// Main thread, once per run-loop turn: pings when one is due and no thread is stuck, and
// logs each thread that has become stuck (or moves again). Returns how long the run loop
// may sleep before the next call: until the next ping is due or the first busy thread
// would pass its allowance, whichever comes first; one second while a thread is stuck;
// no limit (nullopt) without a watching manager.
std::optional<std::chrono::milliseconds> watchdog_tick();

// For the tests: the clock the beats and ticks read (the monotonic clock by default).
void watchdog_set_clock(std::chrono::steady_clock::time_point (*now)());
