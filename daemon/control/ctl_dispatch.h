// The control server's command table: one row per served command code. A command's
// handler writes the whole reply into the connection thread's reply buffer, so the server
// sends every reply, of whatever size, with one send call.
#pragma once

#include "ctl_protocol.h"

#include <cstddef>
#include <cstdint>

// Room for every reply the protocol knows; the buffer lives in the connection thread's frame.
union ctl_reply {
    std::uint8_t bytes[256];
    ControlReply generic;
    Ina236Reply ina236;
    SdCardRemoveReply sdcard_remove;
    SysInfoRecord sysinfo;
    ModemInfoRecord modem;
    SdCardStatusRecord sdcard_status;
    VersionText version;
    LinkStateRecord link_state;
    SdCardStateRecord sdcard_state;
};

// Writes the reply to REQUEST into REPLY, which is all zero on entry, and returns the
// number of bytes to send.
using ctl_handler = std::size_t (*)(const ControlRequest &request, ctl_reply &reply);

struct ctl_command {
    std::uint8_t code;
    ctl_handler handler;
};

// Runs the command REQUEST names; a code without a row gets STATUS_UNKNOWN_COMMAND.
std::size_t ctl_dispatch(const ControlRequest &request, ctl_reply &reply);

// The reply to a receive that delivered fewer bytes than a request.
std::size_t ctl_bad_length(ctl_reply &reply);

// The link-state command's LINK_REPORT_* value of a link_state: the 4G link with its
// switch, the access point with its recovery attempts.
std::uint8_t ctl_link_report_4g(int state, int enabled);
std::uint8_t ctl_link_report_wifi(int state, int attempts);
