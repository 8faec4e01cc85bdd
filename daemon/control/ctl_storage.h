// Command handlers for the remote-terminal service, the version text, the INA236 power
// monitor and the SD card (eject and status). Each runs in the connection thread that
// received the request and writes its whole reply; all of them are rows of the command
// table.
#pragma once

#include "ctl_dispatch.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

std::size_t ctl_rtty_on(const ControlRequest &request, ctl_reply &reply);
std::size_t ctl_rtty_off(const ControlRequest &request, ctl_reply &reply);
std::size_t ctl_rtty_status(const ControlRequest &request, ctl_reply &reply);
std::size_t ctl_version(const ControlRequest &request, ctl_reply &reply);
std::size_t ctl_read_ina236(const ControlRequest &request, ctl_reply &reply);
std::size_t ctl_sdcard_remove(const ControlRequest &request, ctl_reply &reply);
std::size_t ctl_sdcard_status(const ControlRequest &request, ctl_reply &reply);

// The process ids in the standard output of "fuser -m" (ids separated by blanks, tabs or
// newlines; fuser writes the access letters and names to standard error), in order.
std::vector<std::string> ctl_fuser_pids(std::string_view output);

// The version text "v1.5.0 git:REVISION built:DATE" into OUT, which it fills exactly (35
// characters, no terminator); false, OUT untouched, when the text would have another length.
bool ctl_version_text(const char *revision, const char *date, VersionText &out);

// The INA236 readings as the reply carries them, each held to its field's range (the
// current is signed).
void ctl_ina236_values(long bus_mv, long current_ma, long power_uw, Ina236Reply &out);

