// Reading the short files the daemon polls: sysfs attributes such as a network
// interface's operstate or flags.
#pragma once

#include <cstddef>
#include <string_view>

enum class line_read { ok, cannot_open, cannot_read };

// The first line of the board file PATH (below the board root), cut at its newline, into
// LINE of SIZE bytes; a longer line is cut to SIZE - 1 characters. One open and one read:
// a file of a few bytes needs no stdio buffer, and a poll once a second stays cheap.
line_read read_first_line(std::string_view path, char *line, std::size_t size);
