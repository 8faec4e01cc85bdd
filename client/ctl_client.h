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
    EXCHANGE_TIMED_OUT = -4,  // the daemon took no connection or request within the time-out
};

// What receive_record returns besides the count it received.
enum : ssize_t {
    RECEIVE_TIMED_OUT = -2,    // nothing came within the time-out; its one line is printed
    RECEIVE_ERROR_REPLY = -3,  // a generic reply with an error status; "Error: N" is printed
};

// Connects to the daemon and sends REQUEST in one call, printing nothing. Returns the
// connected socket, or an exchange_failure with errno kept from the failing call.
int connect_and_send(const ControlRequest &request);

// connect_and_send with the usual messages ("socket: ...", "Failed to connect to daemon:
// ...", "send: ..."). Returns the connected socket or -1; the caller receives the reply
// and closes the socket.
int send_request(const ControlRequest &request);

// Prints the usual message for FAILURE (an exchange_failure of connect_and_send); -1.
int ctl_report_exchange_failure(int failure);

// One receive of at most SIZE bytes into BUFFER, then the socket is closed. Returns what
// the receive returned; a time-out prints its line and returns -1.
ssize_t receive_once(int fd, void *buffer, std::size_t size);

// One receive of a record of SIZE bytes, then the socket is closed. Returns SIZE for a
// whole record; RECEIVE_TIMED_OUT or RECEIVE_ERROR_REPLY after their messages (the
// generic reply is how a daemon without the command, or one that failed it, answers);
// otherwise the count received (-1 for an error), for the caller's own message.
ssize_t receive_record(int fd, void *record, std::size_t size);

// True once an exchange of this run has run out of time. Its one line ("No answer from
// daemon within N s") says all there is to say: callers add nothing after it.
bool ctl_timed_out();

// One request, one 16-byte reply. 0 when exactly 16 bytes came back; otherwise -1 after
// printing its own message.
int send_command(const ControlRequest &request, ControlReply &reply);

// The version text is read with one receive of up to this many bytes.
inline constexpr std::size_t VERSION_RECEIVE_SIZE = 63;

// Asks for the version text and receives it into TEXT (VERSION_RECEIVE_SIZE + 1 bytes),
// terminated. Returns its length, or -1 after a message: "No response" when nothing
// came, "Error: N" (standard output) for a generic error reply in its place.
ssize_t fetch_version(char *text);

// A request with every byte zero but the command code.
ControlRequest make_request(std::uint8_t cmd, std::uint8_t index = 0, std::uint16_t param = 0);

// The slowest request is a modem query at a silent modem while another query holds the
// port: about 9 s each (seven commands, each given up after a second of silence), so two
// in a row take under 20 s. Thirty seconds leaves room without hanging a script for long.
inline constexpr long CTL_DEFAULT_TIMEOUT_MS = 30000;

// How long one exchange may wait for the daemon, in milliseconds; 0 waits forever. Set
// once per run from --timeout (or the default) before the first request; TEXT is the
// time-out as the user wrote it, for the message (nullptr: the milliseconds in seconds).
void ctl_set_timeout_ms(long milliseconds, const char *text = nullptr);
long ctl_timeout_ms();

// Reads a --timeout value: a decimal number of seconds (digits, optionally a point and
// more digits; no sign, blanks, exponent or hexadecimal) from 0 to 86400. False for any
// other text. A value above 0 waits at least 1 ms, since 0 means waiting forever.
bool parse_timeout(const char *text, long &milliseconds);

// Connects to the daemon without sending; the socket, or an exchange_failure.
int ctl_connect();
// One request and its whole reply of SIZE bytes on an open connection FD. False when the
// request did not go out or the reply came short (the daemon closed or the time ran out).
bool ctl_exchange(int fd, const ControlRequest &request, void *reply, std::size_t size);
// A request on its own connection and its reply of exactly SIZE bytes; false after a
// message saying what failed ("Error: N" on standard output for a daemon's error reply,
// the rest on standard error).
bool ctl_fetch(std::uint8_t cmd, void *reply, std::size_t size);
