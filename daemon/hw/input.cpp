#include "input.h"
#include "thread_name.h"
#include "log.h"

#include "gpio.h"
#include "wake_event.h"
#include "watchdog.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int min_interval_ms = 10;
constexpr int max_interval_ms = 10000;

struct input_monitor {
    // Written by start and stop, read by the polling thread without the lock.
    std::atomic<int> running{0};
    int last_value[GPIO_INPUT_COUNT] = {};
    input_callback callbacks[GPIO_INPUT_COUNT] = {};
    std::uintptr_t user_data[GPIO_INPUT_COUNT] = {};
    std::thread thread;
    // Written under input_lock, read by the polling thread without it.
    std::atomic<int> interval_ms{100};
} input;

std::mutex input_lock;
// Set by stop: with a long interval a plain sleep would hold up shutdown for up to ten
// seconds.
wake_event wake;

bool id_valid(int id) { return static_cast<unsigned>(id) < GPIO_INPUT_COUNT; }

// One cycle with input_lock held: the getters never see a level whose callback has not
// run yet.
void poll_inputs()
{
    std::lock_guard guard(input_lock);
    for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
        const int level = gpio_get_input(id);
        if (level < 0 || level == input.last_value[id])
            continue;  // a failed read keeps the last good level
        input.last_value[id] = level;
        if (input.callbacks[id] != nullptr)
            input.callbacks[id](static_cast<unsigned>(id), level, input.user_data[id]);
        log_out(LOG_INFO, "INPUT: %s changed to %s\n", gpio_input_name(id), level == 1 ? "HIGH" : "LOW");
    }
}

void input_monitor_thread()
{
    thread_name("input");
    log_out(LOG_INFO, "INPUT: Monitor thread started (interval=%dms)\n", input.interval_ms.load());
    while (input.running.load() == 1) {
        watchdog_beat(WATCHDOG_INPUT);
        poll_inputs();
        wake.sleep_for(std::chrono::milliseconds(input.interval_ms.load()));
    }
}

int get_cached(int id)
{
    std::lock_guard guard(input_lock);
    return input.last_value[id];
}

}  // namespace

int input_monitor_init(int interval_ms)
{
    {
        // The levels present now are the baseline: they fire no callback.
        std::lock_guard guard(input_lock);
        for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
            input.last_value[id] = gpio_get_input(id);
            input.callbacks[id] = nullptr;
            input.user_data[id] = 0;
        }
        if (interval_ms > 0)
            input.interval_ms.store(interval_ms);
    }
    log_out(LOG_INFO, "INPUT: Module initialized\n");
    return 0;
}

int input_monitor_start()
{
    if (input.running.load() == 1)
        return 0;
    wake.clear();
    input.running.store(1);
    try {
        input.thread = std::thread(input_monitor_thread);
    } catch (const std::system_error &) {
        input.running.store(0);
        log_err(LOG_ERR, "INPUT: Failed to create monitor thread\n");
        return -1;
    }
    return 0;
}

int input_monitor_stop()
{
    if (input.running.load() == 1) {
        input.running.store(0);
        wake.set();
        if (input.thread.joinable())
            input.thread.join();
    }
    return 0;
}

void input_monitor_cleanup()
{
    input_monitor_stop();
    {
        std::lock_guard guard(input_lock);
        for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
            input.callbacks[id] = nullptr;
            input.user_data[id] = 0;
        }
    }
    log_out(LOG_INFO, "INPUT: Module cleaned up\n");
}

int input_get_cached(int id)
{
    return id_valid(id) ? get_cached(id) : -1;
}

int input_get_4g() { return get_cached(IN_4G); }
int input_get_valid1() { return get_cached(IN_VALID1); }
int input_get_valid2() { return get_cached(IN_VALID2); }
int input_get_wifi() { return get_cached(IN_WIFI); }

int input_set_callback(int id, input_callback callback, std::uintptr_t user_data)
{
    if (!id_valid(id))
        return -1;
    std::lock_guard guard(input_lock);
    input.callbacks[id] = callback;
    input.user_data[id] = user_data;
    return 0;
}

int input_set_interval(int interval_ms)
{
    std::lock_guard guard(input_lock);
    input.interval_ms.store(std::clamp(interval_ms, min_interval_ms, max_interval_ms));
    return 0;
}
