// Test controls of the simulated libgpiod, for tests that link it directly.
//
// The simulated board itself needs none of this: a chip is a directory, the level of
// line OFFSET is the file OFFSET in it ("0" or "1"), and files beside it steer faults:
//   OFFSET.fail-read     reads of the line fail (EIO)
//   OFFSET.fail-write    writes of the line fail (EIO)
//   OFFSET.fail-request  requesting the line fails (EBUSY)
//   OFFSET.no-edge       requesting the line with edge detection fails (ENXIO), as for a
//                        line without an interrupt
// A line requested with edge detection gets an edge event each time a write of its file
// (in place, as `echo 1 >` does, or renamed over it) changes its level; with a debounce
// period the level must first hold for that long, so a bouncing write sequence gives one
// edge. A line whose reads fail gives no edges either. The request's descriptor is
// readable while events wait.
// While a line is requested, OFFSET.request holds its settings and the requesting
// process, e.g.
//   "direction=output drive=push-pull bias=as-is active-low=0 edge=none value=0"
//   (followed by " debounce-us=N" when a debounce period is set)
//   "owner=1234"
// As with the kernel, a line that another live process holds cannot be requested (EBUSY);
// a file left by a process that has ended does not count.
// Every value driven on an output is appended to OFFSET.transitions as
//   "<CLOCK_MONOTONIC nanoseconds> <0|1>", so a test can time a pulse.
// chip.log in the chip directory gets a line "open" and "close" per chip handle.
#pragma once

#include <string>
#include <vector>

// Makes the next COUNT calls of the named libgpiod function fail (with errno EIO), e.g.
// "gpiod_line_settings_new", "gpiod_line_config_new", "gpiod_line_config_add_line_settings",
// "gpiod_chip_request_lines", "gpiod_line_request_set_value".
void fake_gpiod_fail_next(const std::string &function, int count = 1);

// Chip paths passed to gpiod_chip_open, in call order, since the last reset.
std::vector<std::string> fake_gpiod_opened_chips();

// Number of chips and requests currently open.
int fake_gpiod_open_chip_count();
int fake_gpiod_open_request_count();

// Forgets scheduled failures and the open log (handles already open stay valid).
void fake_gpiod_reset();
