#include "input.h"
#include "thread_name.h"
#include "log.h"

#include "change_feed.h"
#include "gpio.h"
#include "unique_fd.h"
#include "watchdog.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
// Readable once stop has been asked for; the thread waits on it beside the lines.
unique_fd stop_event;

bool id_valid(int id) { return static_cast<unsigned>(id) < GPIO_INPUT_COUNT; }

// Called with input_lock held: the getters never see a level whose callback has not run.
void take_level(int id, int level)
{
    if (level == input.last_value[id])
        return;
    input.last_value[id] = level;
    change_post(CHANGE_INPUT, id, level);
    if (input.callbacks[id] != nullptr)
        input.callbacks[id](static_cast<unsigned>(id), level, input.user_data[id]);
    log_out(LOG_INFO, "INPUT: %s changed to %s\n", gpio_input_name(id), level == 1 ? "HIGH" : "LOW");
}

// A line is read live when its chip gives no edges, and also while no read of it has
// succeeded yet (an edge line whose first read failed would otherwise wait for an edge).
bool polled(int id) { return gpio_input_event_fd(id) < 0 || input.last_value[id] < 0; }

// One cycle over the lines named by WHICH, in id order, with input_lock held throughout.
template <class Which>
void poll_inputs(Which which)
{
    std::lock_guard guard(input_lock);
    for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
        if (!which(id))
            continue;
        const int level = gpio_get_input(id);
        if (level >= 0)  // a failed read keeps the last good level
            take_level(id, level);
    }
}

// Each event is taken as a changed level is: the level it carried, so a flip and a flip
// back both count however late this thread runs.
void take_edges(int id)
{
    constexpr int batch = 16;
    int levels[batch];
    int count;
    do {
        count = gpio_read_input_edges(id, levels, batch);
        std::lock_guard guard(input_lock);
        for (int i = 0; i < count; i++)
            take_level(id, levels[i]);
    } while (count == batch);
}

void input_monitor_thread()
{
    thread_name("input");
    log_out(LOG_INFO, "INPUT: Monitor thread started (interval=%dms)\n", input.interval_ms.load());
    // The first look reads every line, as a poll would: it catches a change made between
    // the baseline at init and now, and a line whose baseline read failed.
    watchdog_beat(WATCHDOG_INPUT);
    poll_inputs([](int) { return true; });
    auto next_poll = std::chrono::steady_clock::now() + std::chrono::milliseconds(input.interval_ms.load());
    while (input.running.load() == 1) {
        pollfd fds[GPIO_INPUT_COUNT + 1];
        int ids[GPIO_INPUT_COUNT];
        nfds_t count = 0;
        bool any_polled = false;
        {
            std::lock_guard guard(input_lock);
            for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
                any_polled = any_polled || polled(id);
                const int fd = gpio_input_event_fd(id);
                if (fd >= 0) {
                    ids[count] = id;
                    fds[count++] = pollfd{fd, POLLIN, 0};
                }
            }
        }
        fds[count] = pollfd{stop_event.get(), POLLIN, 0};
        // With every line on edges there is nothing to do until one moves: no timeout.
        int timeout = -1;
        if (any_polled) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_poll - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        watchdog_idle(WATCHDOG_INPUT);
        const int ready = poll(fds, count + 1, timeout);
        watchdog_beat(WATCHDOG_INPUT);
        if (input.running.load() != 1)
            break;
        if (ready < 0 && errno != EINTR) {
            log_err(LOG_ERR, "INPUT: poll failed: %s\n", strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(input.interval_ms.load()));
        }
        for (nfds_t i = 0; ready > 0 && i < count; i++) {
            if ((fds[i].revents & (POLLIN | POLLERR)) != 0)
                take_edges(ids[i]);
        }
        const auto now = std::chrono::steady_clock::now();
        if (any_polled && now >= next_poll) {
            poll_inputs(polled);
            next_poll = now + std::chrono::milliseconds(input.interval_ms.load());
        }
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
    stop_event.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_event) {
        log_err(LOG_ERR, "INPUT: Failed to create monitor thread\n");
        return -1;
    }
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
        const std::uint64_t one = 1;
        ssize_t n = write(stop_event.get(), &one, sizeof one);
        (void)n;
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
