// The kernel's mount table ("/proc/mounts"), parsed into entries whose fields are decoded
// from the kernel's octal escapes ("\040" is a blank), so a mount point can be handed to
// statvfs, opendir or a command exactly as the file system knows it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct mount_entry {
    std::string device;
    std::string mount_point;
    std::string fs_type;
    std::string options;
};

// FIELD with every "\ooo" octal escape replaced by its byte; other text is kept as it is.
std::string mount_unescape(std::string_view field);

// One line of the table; false when it has fewer than four fields.
bool parse_mount_line(std::string_view line, mount_entry &entry);

// Every well-formed line of TEXT, in order.
std::vector<mount_entry> parse_mounts(std::string_view text);

// The board's table (board_path("/proc/mounts")); empty when it cannot be read.
std::vector<mount_entry> read_mounts();

// True when OPTIONS (comma-separated) holds the option "ro".
bool mount_is_read_only(std::string_view options);
