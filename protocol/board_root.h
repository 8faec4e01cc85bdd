// Where the board's fixed paths live.
//
// Both programs open fixed absolute paths ("/dev/gpiochip1", "/var/run/tesmar_gpio.sock", ...).
// TESMAR_GPIO_ROOT, when set and not empty, moves all of them under one directory so the
// programs can run against a simulated board; unset, every path is used exactly as given.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// The board path of PATH written into OUT (SIZE bytes, always terminated when SIZE > 0).
// Returns the length of the full path, or -1 when it does not fit: a cut path would name
// another file. Allocates nothing, so the client needs no C++ runtime for it.
inline int board_path(const char *path, char *out, std::size_t size)
{
    const char *root = std::getenv("TESMAR_GPIO_ROOT");
    std::size_t root_length = root != nullptr ? std::strlen(root) : 0;
    while (root_length > 0 && root[root_length - 1] == '/')
        root_length--;
    std::size_t path_length = std::strlen(path);
    if (size == 0)
        return -1;
    if (root_length + path_length >= size) {
        out[0] = '\0';
        return -1;
    }
    if (root_length > 0)
        std::memcpy(out, root, root_length);
    std::memcpy(out + root_length, path, path_length + 1);
    return static_cast<int>(root_length + path_length);
}

inline std::string board_path(std::string_view path)
{
    const char *root = std::getenv("TESMAR_GPIO_ROOT");
    std::string resolved;
    if (root != nullptr && root[0] != '\0') {
        resolved = root;
        while (!resolved.empty() && resolved.back() == '/')
            resolved.pop_back();
    }
    resolved.append(path);
    return resolved;
}
