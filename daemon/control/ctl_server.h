// The control socket server: a listening Unix stream socket at /var/run/tesmar_gpio.sock
// (under TESMAR_GPIO_ROOT when set), an accept thread, and one detached thread per
// connection that answers requests one after the other until the peer closes or stays
// silent too long. At most CTL_MAX_CONNECTIONS are served at once.
#pragma once

#include <chrono>

// Connections served at once; a client beyond them finds its connection closed at once.
// Lowered at init when the descriptor limit would not leave the daemon its own room.
inline constexpr int CTL_MAX_CONNECTIONS = 128;
// How long a connection may stay silent before its next whole request; then it is closed.
inline constexpr std::chrono::milliseconds CTL_REQUEST_WAIT{5000};

struct ctl_server_limits {
    int connections = CTL_MAX_CONNECTIONS;
    std::chrono::milliseconds request_wait = CTL_REQUEST_WAIT;
};

// Test seam: the cap and the request wait, taken by the next init and start.
void ctl_server_set_limits(const ctl_server_limits &limits);

// Binds and listens, replacing a socket file left by an earlier run. 0 or -1.
int ctl_server_init();

// Starts the accept thread; 0 at once when already running, -1 on failure.
int ctl_server_start();

// Stops accepting, removes the socket file, and returns once no connection thread is left:
// connections waiting for a request are woken and closed, a command in progress is
// finished and its reply sent (a peer that leaves that reply unread for a second is cut
// off). After it returns no control request reaches any module. Does nothing unless the
// server runs.
int ctl_server_stop();

// The same as ctl_server_stop, for the cleanup sequence; whichever comes second does nothing.
void ctl_server_cleanup();
