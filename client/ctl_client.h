// The client's side of the control socket: one connection per request.
#pragma once

#include "ctl_protocol.h"

// Connects to the daemon and sends REQUEST in one call. Returns the connected socket, or
// -1 after printing why ("socket: ...", "Failed to connect to daemon: ...", "send: ...").
// The caller receives the reply and closes the socket.
int send_request(const ControlRequest &request);

// One request, one 16-byte reply. 0 when exactly 16 bytes came back; otherwise -1 after
// printing its own message.
int send_command(const ControlRequest &request, ControlReply &reply);
