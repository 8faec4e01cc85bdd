#include "led.h"
#include "log.h"

#include "board_root.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace {

// The names the daemon drives must sit at their rows of the table.
constexpr bool led_row_is(int index, std::string_view id)
{
    return index < LED_COUNT && BOARD_LEDS[index].id == id;
}
static_assert(led_row_is(LED_SYS, "sys") && led_row_is(LED_EXT_PWR, "ext_pwr") && led_row_is(LED_STORAGE, "storage") &&
              led_row_is(LED_DATA, "data") && led_row_is(LED_WIFI, "wifi") && led_row_is(LED_4G, "4g") &&
              led_row_is(LED_NET, "net"));

constexpr const char *led_base_dir = "/sys/class/leds";
constexpr int brightness_full = 255;
constexpr int half_period_slow_ms = 500;
constexpr int half_period_fast_ms = 100;
// The shortest half period we ask of the timer trigger, however high the frequency.
constexpr int half_period_min_ms = 10;

struct led_state {
    // Read without the lock by led_get_mode, so it is atomic; written under led_lock.
    std::atomic<int> mode{LED_MODE_OFF};
    int freq = 0;
};

struct led_module {
    led_state leds[LED_COUNT];
} led;

std::mutex led_lock;

bool index_valid(int index) { return static_cast<unsigned>(index) < LED_COUNT; }

// The attribute path as the board names it; it is opened under the board root, but
// logged as here so the messages read the same on a real and a simulated board.
std::string attribute_path(int index, const char *attribute)
{
    std::string path = led_base_dir;
    path += '/';
    path += BOARD_LEDS[index].sysfs_name;
    path += '/';
    path += attribute;
    return path;
}

// One write(2), so a sysfs attribute rejecting the value reports it here rather than
// at a close nobody checks.
int led_sysfs_write(const std::string &path, const char *text)
{
    unique_fd fd(open(board_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        log_err(LOG_ERR, "LED: Failed to open %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    const size_t length = strlen(text);
    ssize_t written = write(fd.get(), text, length);
    if (written != static_cast<ssize_t>(length)) {
        if (written >= 0)
            errno = EIO;
        log_err(LOG_ERR, "LED: Failed to write %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int led_write_int(int index, const char *attribute, int value)
{
    char text[32];
    snprintf(text, sizeof text, "%d", value);
    return led_sysfs_write(attribute_path(index, attribute), text);
}

int led_set_brightness(int index, int on)
{
    return led_write_int(index, "brightness", on != 0 ? brightness_full : 0);
}

int led_set_delays(int index, int on_ms, int off_ms)
{
    if (led_write_int(index, "delay_on", on_ms) < 0)
        return -1;
    return led_write_int(index, "delay_off", off_ms);
}

// The trigger goes first: switching to "none" stops the kernel's timer before the
// brightness is set, and switching to "timer" creates the delay attributes.
void apply_steady(int index, int on)
{
    led_sysfs_write(attribute_path(index, "trigger"), "none");
    led_set_brightness(index, on);
}

void apply_blink(int index, int half_period_ms)
{
    led_sysfs_write(attribute_path(index, "trigger"), "timer");
    led_set_delays(index, half_period_ms, half_period_ms);
}

int custom_half_period(int freq)
{
    if (freq <= 0)
        return half_period_min_ms;
    // Widened: a huge stored frequency must not overflow the doubling.
    long long half = 1000 / (2 * static_cast<long long>(freq));
    return half < half_period_min_ms ? half_period_min_ms : static_cast<int>(half);
}

// Stores the mode and makes the sysfs state match it; called with led_lock held.
void apply_mode(int index, int mode)
{
    led_state &state = led.leds[index];
    state.mode.store(mode);
    switch (mode) {
    case LED_MODE_OFF:
        apply_steady(index, 0);
        break;
    case LED_MODE_ON:
        apply_steady(index, 1);
        break;
    case LED_MODE_BLINK_SLOW:
        apply_blink(index, half_period_slow_ms);
        break;
    case LED_MODE_BLINK_FAST:
        apply_blink(index, half_period_fast_ms);
        break;
    case LED_MODE_BLINK_CUSTOM:
        apply_blink(index, custom_half_period(state.freq));
        break;
    default:
        break;  // an unknown mode is only remembered
    }
}

}  // namespace

int led_init()
{
    std::lock_guard guard(led_lock);
    for (int index = 0; index < LED_COUNT; index++) {
        led.leds[index].freq = 0;
        apply_mode(index, LED_MODE_OFF);
    }
    log_out(LOG_INFO, "LED: Module initialized (sysfs)\n");
    return 0;
}

int led_on(int index)
{
    return led_set_mode(index, LED_MODE_ON);
}

int led_off(int index)
{
    return led_set_mode(index, LED_MODE_OFF);
}

int led_toggle(int index)
{
    if (!index_valid(index))
        return -1;
    // Decided under the lock, so two toggles at once cannot both switch the LED on.
    std::lock_guard guard(led_lock);
    const bool steady_on = led.leds[index].mode.load() == LED_MODE_ON;
    apply_mode(index, steady_on ? LED_MODE_OFF : LED_MODE_ON);
    return 0;
}

int led_blink(int index, int freq)
{
    if (!index_valid(index))
        return -1;
    {
        std::lock_guard guard(led_lock);
        led.leds[index].freq = freq > 0 ? freq : 1;
    }
    // The mode follows the frequency asked for; above 4 per second the fixed fast
    // timer is used, so 9 blinks at 5 per second.
    if (freq >= 2 && freq <= 4)
        return led_set_mode(index, LED_MODE_BLINK_CUSTOM);
    return led_set_mode(index, freq <= 1 ? LED_MODE_BLINK_SLOW : LED_MODE_BLINK_FAST);
}

int led_set_mode(int index, int mode)
{
    if (!index_valid(index))
        return -1;
    std::lock_guard guard(led_lock);
    apply_mode(index, mode);
    return 0;
}

int led_get_mode(int index)
{
    if (!index_valid(index))
        return LED_MODE_OFF;
    return led.leds[index].mode.load();
}

void led_cleanup()
{
    std::lock_guard guard(led_lock);
    for (int index = 0; index < LED_COUNT; index++)
        apply_steady(index, 0);
    log_out(LOG_INFO, "LED: Module cleaned up\n");
}
