// GPIO line manager: owns every line the daemon drives or reads directly.
//
// The lines are requested once at start-up (one request per line) and kept until
// gpio_cleanup. Ids are compared as unsigned values, so a negative id is out of range.
#pragma once

#include "board_facts.h"

#include <array>
#include <cstdint>

struct gpiod_chip;

// The first outputs are the LED lines, one per row of BOARD_LEDS, left to the kernel's
// gpio-leds driver.
inline constexpr int GPIO_LED_LINE_COUNT = BOARD_LED_COUNT;

enum gpio_output_id : int {
    OUT_BEEP = GPIO_LED_LINE_COUNT,
    OUT_VOUT12V,
    OUT_NA,
    GPIO_OUTPUT_COUNT
};

enum gpio_input_id : int {
    IN_4G = 0,
    IN_VALID1,
    IN_VALID2,
    IN_WIFI,
    GPIO_INPUT_COUNT
};

inline constexpr int GPIO_MAX_CHIPS = 10;

using gpio_line_def = board_gpio_line;

// The LED lines, then BOARD_OUTPUT_LINES.
extern const std::array<gpio_line_def, GPIO_OUTPUT_COUNT> gpio_output_lines;
inline constexpr const gpio_line_def (&gpio_input_lines)[GPIO_INPUT_COUNT] = BOARD_INPUT_LINES;

// Chip handle for a device path from the cache, or newly opened; nullptr on failure.
gpiod_chip *gpio_get_chip(const char *path);

int gpio_init();
int gpio_init_outputs();
int gpio_init_inputs();

int gpio_set_output(int id, int value);
int gpio_get_output(int id);
int gpio_toggle_output(int id);
int gpio_get_input(int id);

// The inputs are requested with edge detection (both edges, a few ms of debounce) where
// their chip gives it. The descriptor is readable while edge events of the input wait;
// -1 for an input whose chip refused edges (it must be polled) or an id out of range.
int gpio_input_event_fd(int id);
// Takes the waiting edge events of the input, oldest first, as the levels they carried
// (1 rising, 0 falling) into LEVELS (up to MAX); returns their count (0 when a wake-up
// carried none), or -1.
int gpio_read_input_edges(int id, int *levels, int max);

// The line's name, or "" for an id out of range.
const char *gpio_input_name(int id);
const char *gpio_output_name(int id);

// Releases every line and closes every chip; harmless before init and when repeated.
void gpio_cleanup();
