// The board's LEDs and GPIO lines, in tables that the daemon, the client, the bash
// completion and the simulated board all derive from: adding an LED is one row here.
//
// A row's position is the LED's index, the one ControlRequest::index carries. Each row
// gives the client's id for it, its sysfs name below /sys/class/leds, and the GPIO line
// behind it (left to the kernel's gpio-leds driver; the daemon lists it with its outputs).
// Keep one row a line: packaging/CMakeLists.txt and sim/board-setup read the rows as text.
//
// Header-only and free of the C++ runtime, for the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

struct board_gpio_line {
    const char *name;
    const char *chip_path;
    std::uint32_t offset;
    const char *description;  // board wiring; documentation only
};

struct board_led {
    const char *id;          // the client's word for it
    const char *sysfs_name;  // below /sys/class/leds
    board_gpio_line line;
};

inline constexpr board_led BOARD_LEDS[] = {
    {"sys", "sys_led1", {"SYS_LED1", "/dev/gpiochip3", 11, "状态灯"}},
    {"ext_pwr", "sys_led2", {"SYS_LED2", "/dev/gpiochip6", 8, "外电指示灯"}},
    {"storage", "sys_led3", {"SYS_LED3", "/dev/gpiochip8", 5, "存储指示灯"}},
    {"data", "sys_led4", {"SYS_LED4", "/dev/gpiochip1", 6, "数据指示灯"}},
    {"wifi", "sys_led5", {"SYS_LED5", "/dev/gpiochip8", 9, "WIFI指示灯"}},
    {"4g", "sys_led6", {"SYS_LED6", "/dev/gpiochip8", 6, "4G指示灯"}},
    {"net", "sys_led7", {"SYS_LED7", "/dev/gpiochip8", 7, "网口指示灯"}},
};

inline constexpr int BOARD_LED_COUNT = static_cast<int>(sizeof BOARD_LEDS / sizeof BOARD_LEDS[0]);

// The daemon's other GPIO lines, in the order of its output and input ids (daemon/hw/gpio.h).
// sim/board-setup reads these rows too, to lay out the simulated board's lines.
inline constexpr board_gpio_line BOARD_OUTPUT_LINES[] = {
    {"BEEP", "/dev/gpiochip1", 11, "蜂鸣器"},
    {"VOUT12V", "/dev/gpiochip6", 13, "12V电源控制"},
    {"NA", "/dev/gpiochip8", 1, "未定义"},
};

inline constexpr board_gpio_line BOARD_INPUT_LINES[] = {
    {"4G", "/dev/gpiochip1", 9, "EC20控制信号"},
    {"VALID1", "/dev/gpiochip6", 11, "外接电源判断"},
    {"VALID2", "/dev/gpiochip6", 12, "内接电源判断"},
    {"WIFI", "/dev/gpiochip8", 10, "WIFI控制信号"},
};

// Text built from the table at compile time, for messages that list the LEDs: a
// NUL-terminated array in read-only data, as a string literal would be.
template <std::size_t N>
struct fixed_text {
    char chars[N]{};
};

constexpr std::size_t text_length(const char *text)
{
    std::size_t n = 0;
    while (text[n] != '\0')
        n++;
    return n;
}

// The length of every LED id joined by a separator of SEPARATOR_LENGTH characters.
constexpr std::size_t led_ids_length(std::size_t separator_length)
{
    std::size_t n = 0;
    for (const board_led &led : BOARD_LEDS)
        n += text_length(led.id) + separator_length;
    return n - separator_length;
}

// The LED ids in index order, SEPARATOR between them: "sys/ext_pwr/.../net".
template <std::size_t S>
constexpr fixed_text<led_ids_length(S - 1) + 1> led_ids_joined(const char (&separator)[S])
{
    fixed_text<led_ids_length(S - 1) + 1> out;
    std::size_t at = 0;
    for (const board_led &led : BOARD_LEDS) {
        if (at > 0) {
            for (std::size_t i = 0; i + 1 < S; i++)
                out.chars[at++] = separator[i];
        }
        for (const char *c = led.id; *c != '\0'; c++)
            out.chars[at++] = *c;
    }
    return out;
}

// The parts, string literals or fixed_text chars, one after the other.
template <std::size_t... N>
constexpr fixed_text<(N + ...) - sizeof...(N) + 1> text_concat(const char (&...parts)[N])
{
    fixed_text<(N + ...) - sizeof...(N) + 1> out;
    std::size_t at = 0;
    for (const char *part : {static_cast<const char *>(parts)...}) {
        for (; *part != '\0'; part++)
            out.chars[at++] = *part;
    }
    return out;
}
