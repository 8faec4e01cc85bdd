// tesmar_gpioctl: one command per run, one connection per daemon request.
#pragma once

#include <cstdint>

// Runs the command line and returns the exit status: 0 on success, 1 for a missing or
// unknown command word, -1 (255) for every other failure.
int gpioctl_main(int argc, char **argv);

// A numeric word as the commands read it: optional blanks and sign, then the leading
// decimal digits (none reads as 0), truncated to 16 bits.
std::uint16_t parse_number(const char *word);

// A beep length in milliseconds: a whole decimal number from 0 to 65535 and nothing else.
// False (VALUE untouched) for any other word.
bool parse_duration(const char *word, std::uint16_t &value);
