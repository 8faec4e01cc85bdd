// The client's side of the control socket: one connection per request.
#pragma once

#include "ctl_protocol.h"

#include <sys/types.h>

#include <cstddef>

// Where connect_and_send stopped; each caller words its own message for it.
enum exchange_failure {
    EXCHANGE_SOCKET = -1,   // no socket (errno says why)
    EXCHANGE_CONNECT = -2,  // no daemon at the socket path, or the path does not fit
    EXCHANGE_SEND = -3,     // the request did not go out whole (errno says why)
};

// Connects to the daemon and sends REQUEST in one call, printing nothing. Returns the
// connected socket, or an exchange_failure with errno kept from the failing call.
int connect_and_send(const ControlRequest &request);

// connect_and_send with the usual messages ("socket: ...", "Failed to connect to daemon:
// ...", "send: ..."). Returns the connected socket or -1; the caller receives the reply
// and closes the socket.
int send_request(const ControlRequest &request);

// One receive of at most SIZE bytes into BUFFER, then the socket is closed. Returns what
// the receive returned.
ssize_t receive_once(int fd, void *buffer, std::size_t size);

// One request, one 16-byte reply. 0 when exactly 16 bytes came back; otherwise -1 after
// printing its own message.
int send_command(const ControlRequest &request, ControlReply &reply);

// A request with every byte zero but the command code.
ControlRequest make_request(std::uint8_t cmd, std::uint8_t index = 0, std::uint16_t param = 0);

// The slowest request is a modem query at a silent modem while another query holds the
// port: about 9 s each (seven commands, each given up after a second of silence), so two
// in a row take under 20 s. Thirty seconds leaves room without hanging a script for long.
inline constexpr long CTL_DEFAULT_TIMEOUT_MS = 30000;

// How long one exchange may wait for the daemon, in milliseconds; 0 waits forever. Set
// once per run from --timeout (or the default) before the first request.
void ctl_set_timeout_ms(long milliseconds);
long ctl_timeout_ms();

// Connects to the daemon without sending; the socket, or an exchange_failure.
int ctl_connect();
// One request and its whole reply of SIZE bytes on an open connection FD. False when the
// request did not go out or the reply came short (the daemon closed or the time ran out).
bool ctl_exchange(int fd, const ControlRequest &request, void *reply, std::size_t size);
// A request on its own connection and its reply of exactly SIZE bytes; false after a
// message on standard error saying what failed.
bool ctl_fetch(std::uint8_t cmd, void *reply, std::size_t size);
