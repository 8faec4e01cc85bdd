// Tells a service manager (systemd with Type=notify) how the daemon is doing, in its
// notification protocol: one datagram per message ("READY=1", "STOPPING=1", "WATCHDOG=1")
// on the Unix socket named by NOTIFY_SOCKET, a path or an abstract name written with a
// leading '@'. No library is needed for it.
//
// Outside such a manager NOTIFY_SOCKET is unset: nothing here opens a socket, sends or
// prints anything.
#pragma once

#include <chrono>

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID, then removes them from the
// environment: the outside programs the daemon starts must not speak for it. Call once on
// the main thread, after detaching and before any other thread exists.
void sd_notify_init();

// True when a service manager listens.
bool sd_notify_enabled();

// How often the manager wants to hear "WATCHDOG=1" at the least; zero when it watches
// nothing (no or an unreadable WATCHDOG_USEC, no listener, or a WATCHDOG_PID naming
// another process).
std::chrono::microseconds sd_notify_watchdog_interval();

// Sends STATE as one datagram: 0 once it is on its way, -1 when no manager listens or the
// send failed. Waits at most about a second for room in the manager's queue.
int sd_notify_send(const char *state);
