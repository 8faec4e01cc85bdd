// A pause that another thread can end early: the periodic threads sleep on one between
// their turns, and their module's stop sets it. Once set it stays set until cleared, so a
// stop that comes between a thread's look at its flag and its pause is never missed, with
// no lock to hold around either. A pause costs one poll.
#pragma once

#include "unique_fd.h"

#include <chrono>

class wake_event {
public:
    wake_event();
    wake_event(const wake_event &) = delete;
    wake_event &operator=(const wake_event &) = delete;

    // Sleeps for DURATION at most (on the monotonic clock). Returns false at once, or as
    // soon as it happens, when the event is set. Without a descriptor (none was left at
    // start) it sleeps the whole DURATION, and only the next pause sees the event.
    bool sleep_for(std::chrono::milliseconds duration) const;
    // Ends every pause, now and later, until clear().
    void set();
    void clear();
    bool is_set() const;

private:
    unique_fd fd_;
};
