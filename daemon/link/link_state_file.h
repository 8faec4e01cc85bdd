// The text of the link state file, read without any other part of the daemon: a pure
// function, so that it can be tested with tables and fuzzed on its own.
#pragma once

#include <cstddef>

// The two switches from the file's TEXT (LENGTH bytes, not necessarily ended by a zero):
// two whole decimal numbers, 4G first, each read as "%d" reads it. Any non-zero number is
// a switch that is on and loads as 1. 0 with both switches set; -1 with both 0 when the
// text does not start with two numbers or a number lies beyond int.
int link_parse_state(const char *text, std::size_t length, int *enabled_4g, int *enabled_wifi);
