// Event counters an operator watches (key presses, redials, recoveries, ejects): counted
// where the event happens, read whole by the control server.
#pragma once

#include "ctl_protocol.h"

#include <cstdint>

// Adds one to counter ID (a COUNTER_* below COUNTER_KNOWN); any thread, never blocks.
void counter_add(std::uint8_t id);
// The counter's value since start; 0 for an id the daemon does not keep.
std::uint64_t counter_get(std::uint8_t id);
// Fills RECORD with every counter (the reply to CMD_COUNTERS).
void counters_record(CountersRecord &record);
