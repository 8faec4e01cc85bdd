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
