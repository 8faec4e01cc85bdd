// The client's longer reports: the board overview, the system snapshot, the modem and the
// SD card. Each returns the program's exit status (0, or -1 for 255).
#pragma once

#include "ctl_protocol.h"

int report_status();
int report_sysinfo();
int report_4g_info();
// ACTION is the word after "sdcard" (nullptr when there is none).
int report_sdcard(const char *program, const char *action);

// Renderings shared by the reports, exposed for their tests.

// "%d.%d" of a temperature in tenths of a degree; "-0.5" for -5.
void format_temperature(char *out, unsigned size, std::int16_t tenths);
// Leading one bits of a netmask given in network byte order.
int prefix_length(std::uint32_t mask_network_order);
// (total - free) * 100 / total in unsigned 64-bit arithmetic; 0 when TOTAL is 0.
int percent_used(std::uint64_t total, std::uint64_t free);
