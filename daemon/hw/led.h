// The seven indicator LEDs, driven through the kernel's LED class in sysfs: steady on or
// off with the trigger "none", blinking with the kernel's "timer" trigger (no thread here).
// Indexes are compared as unsigned values, so a negative index is out of range.
#pragma once

#include "board_facts.h"

// The LEDs the daemon drives by name; the rows of BOARD_LEDS give them (led.cpp checks
// that each name sits at its row), and their number.
enum led_index : int {
    LED_SYS = 0,
    LED_EXT_PWR,
    LED_STORAGE,
    LED_DATA,
    LED_WIFI,
    LED_4G,
    LED_NET,
};
inline constexpr int LED_COUNT = BOARD_LED_COUNT;

enum led_mode : int {
    LED_MODE_OFF = 0,
    LED_MODE_ON,
    LED_MODE_BLINK_SLOW,
    LED_MODE_BLINK_FAST,
    LED_MODE_BLINK_CUSTOM
};

int led_init();
int led_on(int index);
int led_off(int index);
// Steady on unless the LED is steady on now (a blinking LED becomes steady on).
int led_toggle(int index);
// freq: blinks per second; <= 1 slow, 2..4 custom, >= 5 fast.
int led_blink(int index, int freq);
int led_set_mode(int index, int mode);
// The stored mode; 0 for an index out of range.
int led_get_mode(int index);
void led_cleanup();
