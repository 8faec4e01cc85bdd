// Where the board's fixed paths live.
//
// Both programs open fixed absolute paths ("/dev/gpiochip1", "/var/run/tesmar_gpio.sock", ...).
// TESMAR_GPIO_ROOT, when set and not empty, moves all of them under one directory so the
// programs can run against a simulated board; unset, every path is used exactly as given.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

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
