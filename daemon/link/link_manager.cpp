// The link manager's lifecycle and its manager thread: the status LED, the end2 carrier
// on LED7, the periodic access-point check with its recovery, and the VALID1 rule.
#include "link_internal.h"
#include "counters.h"
#include "thread_name.h"
#include "process.h"
#include "log.h"

#include "board_file.h"
#include "input.h"
#include "led.h"
#include "wake_event.h"
#include "watchdog.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace {

// Set once the stop has begun: it ends every pause of the manager and the workers.
wake_event pace_wake;

constexpr int max_recovery_attempts = 3;

void post_4g_on()
{
    std::lock_guard guard(req_4g_lock);
    link_mgr.req_4g = 1;
    req_4g_cond.notify_all();
}

void post_wifi_on()
{
    std::lock_guard guard(req_wifi_lock);
    link_mgr.req_wifi = 1;
    req_wifi_cond.notify_all();
}

void post_switches_on()
{
    if (link_mgr.enabled_4g.load() != 0)
        post_4g_on();
    if (link_mgr.enabled_wifi.load() != 0)
        post_wifi_on();
}

void end_4g_worker()
{
    {
        std::lock_guard guard(req_4g_lock);
        link_mgr.worker_4g_running.store(0);
    }
    req_4g_cond.notify_all();
    if (link_mgr.worker_4g.joinable())
        link_mgr.worker_4g.join();
}

void end_wifi_worker()
{
    {
        std::lock_guard guard(req_wifi_lock);
        link_mgr.worker_wifi_running.store(0);
    }
    req_wifi_cond.notify_all();
    if (link_mgr.worker_wifi.joinable())
        link_mgr.worker_wifi.join();
}

void apply_valid1(int value)
{
    if (value != 0)
        led_off(LED_EXT_PWR);
    else
        led_on(LED_EXT_PWR);
    log_out(LOG_INFO, "LINK: VALID1=%d -> LED2=%s\n", value, value != 0 ? "OFF" : "ON");
}

// Shows a change of end2's carrier on LED7; an unreadable file changes nothing.
void update_ethernet_led()
{
    char path[128];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/operstate", "end2");
    char value[64];
    if (read_first_line(path, value, sizeof value) != line_read::ok)
        return;
    if (std::strcmp(value, "up") == 0) {
        if (link_mgr.eth_link_up != 1) {
            link_mgr.eth_link_up = 1;
            led_on(LED_NET);
            log_out(LOG_INFO, "LINK: %s link %s -> LED7=%s\n", "end2", "up", "ON");
        }
    } else if (link_mgr.eth_link_up != 0) {
        link_mgr.eth_link_up = 0;
        led_off(LED_NET);
        log_out(LOG_WARNING, "LINK: %s link %s -> LED7=%s\n", "end2", "down", "OFF");
    }
}

// Stop, pause, start, verify; with state_wifi_lock held.
void recover_ap()
{
    if (link_mgr.wifi_recovery_attempts > max_recovery_attempts - 1) {
        log_out(LOG_ERR, "LINK: WiFi recovery attempts exhausted (%d)\n", link_mgr.wifi_recovery_attempts.load());
        link_mgr.state_wifi.store(LINK_FAILED);
        led_blink(LED_WIFI, 5);
        return;
    }
    link_mgr.wifi_recovery_attempts++;
    counter_add(COUNTER_RECOVERY_WIFI);
    log_out(LOG_INFO, "LINK: Attempting WiFi recovery (attempt %d/%d)\n", link_mgr.wifi_recovery_attempts.load(),
           max_recovery_attempts);
    link_wifi_script("stop");
    if (process_stopping())
        return;  // the stop began meanwhile: no pause and no start it would only cut short
    std::this_thread::sleep_for(link_timing::recovery_pause);
    if (link_wifi_script("start") != 0) {
        log_out(LOG_WARNING, "LINK: WiFi recovery failed - start command failed\n");
        link_mgr.state_wifi.store(LINK_FAILED);
        led_blink(LED_WIFI, 3);
        return;
    }
    std::this_thread::sleep_for(link_timing::recovery_settle);
    if (link_wifi_health_check() == 1) {
        log_out(LOG_INFO, "LINK: WiFi recovery successful\n");
        link_mgr.state_wifi.store(LINK_UP);
        led_on(LED_WIFI);
        link_mgr.wifi_recovery_attempts = 0;
    } else {
        log_out(LOG_WARNING, "LINK: WiFi recovery verification failed\n");
        link_mgr.state_wifi.store(LINK_FAILED);
        led_blink(LED_WIFI, 3);
    }
}

void check_wifi()
{
    unsigned generation;
    {
        // Waits while the worker starts or stops the access point.
        watchdog_idle(WATCHDOG_LINK_MANAGER);
        std::lock_guard guard(state_wifi_lock);
        watchdog_beat(WATCHDOG_LINK_MANAGER);
        const int state = link_mgr.state_wifi.load();
        if (state != LINK_UP && state != LINK_FAILED)
            return;
        generation = link_mgr.wifi_generation;
    }
    const bool healthy = link_wifi_health_check() == 1;
    watchdog_idle(WATCHDOG_LINK_MANAGER);
    std::lock_guard guard(state_wifi_lock);
    watchdog_beat(WATCHDOG_LINK_MANAGER);
    // The check runs without the lock. Had the worker started or stopped the access
    // point meanwhile, the result would describe a half-started or switched-off access
    // point: a needless recovery, or one that brings it back against the switch.
    if (generation != link_mgr.wifi_generation)
        return;
    // Checks the stop cut short fail without the access point being at fault; the stop
    // takes it down anyway, and a recovery now would only hold the stop up.
    if (!healthy && process_stopping())
        return;
    if (healthy) {
        // Healed, by a recovery or otherwise: its next failure gets recoveries again.
        link_mgr.wifi_recovery_attempts = 0;
        if (link_mgr.state_wifi.load() != LINK_UP) {
            link_mgr.state_wifi.store(LINK_UP);
            led_on(LED_WIFI);
        }
        return;
    }
    log_out(LOG_WARNING, "LINK: WiFi health check failed, initiating recovery\n");
    recover_ap();
}

// A dialer that still runs is stopped; one that has ended only has its group ended and
// is reaped.
void end_dialer_at_stop()
{
    if (program_ended(link_mgr.dialer_pid)) {
        end_program(link_mgr.dialer_pid, link_timing::kill_step * link_timing::kill_steps);
        link_mgr.dialer_pid = -1;
    } else {
        link_4g_kill_dialer();
    }
}

void stop_sequence()
{
    log_out(LOG_INFO, "LINK: Stopping...\n");
    link_end_pacing();
    end_4g_worker();
    end_wifi_worker();
    if (link_mgr.manager.joinable())
        link_mgr.manager.join();

    // The workers are joined: nothing else touches the dialer now. Its grace and the
    // access point's stop script run side by side; neither needs the other done.
    std::thread dialer_end;
    if (link_mgr.dialer_pid > 0) {
        try {
            dialer_end = std::thread([] {
                thread_name("link-hangup");
                end_dialer_at_stop();
            });
        } catch (const std::system_error &) {
            end_dialer_at_stop();
        }
    }
    {
        std::lock_guard guard(state_wifi_lock);
        // A failed or half-verified access point may have left its servers running (a
        // start cut short by the stop, a recovery that gave up): the script's stop is
        // harmless on one that is down, so only a link that is off is left alone.
        if (link_mgr.state_wifi.load() != LINK_OFF)
            link_wifi_script("stop");
        link_mgr.state_wifi.store(LINK_OFF);
    }
    if (dialer_end.joinable())
        dialer_end.join();
    for (int led : {LED_SYS, LED_EXT_PWR, LED_WIFI, LED_4G, LED_NET})
        led_off(led);
    log_out(LOG_INFO, "LINK: Module stopped\n");
}

}  // namespace

bool link_pace(std::chrono::milliseconds duration)
{
    return pace_wake.sleep_for(duration) && link_mgr.link_running.load() != 0;
}

void link_end_pacing()
{
    link_mgr.link_running.store(0);
    pace_wake.set();
}

void link_on_valid1(unsigned int, int level, std::uintptr_t) { apply_valid1(level); }

void link_manager_thread()
{
    thread_name("link");
    log_out(LOG_INFO, "LINK: Manager thread started\n");
    led_blink(LED_SYS, 1);
    apply_valid1(input_get_valid1());
    post_switches_on();

    std::optional<link_timing::clock::time_point> last_check;
    while (link_mgr.link_running.load() != 0) {
        watchdog_beat(WATCHDOG_LINK_MANAGER);
        const auto now = link_timing::clock::now();
        update_ethernet_led();
        if (!last_check || now - *last_check >= link_timing::wifi_check_interval) {
            check_wifi();
            last_check = now;
        }
        link_pace(link_timing::manager_step);
    }
}

int link_start()
{
    if (link_mgr.link_running.load() != 0)
        return 0;
    pace_wake.clear();
    link_mgr.link_running.store(1);
    link_mgr.worker_4g_running.store(1);
    try {
        link_mgr.worker_4g = std::thread(link_4g_worker);
    } catch (const std::system_error &) {
        log_err(LOG_ERR, "LINK: Failed to create 4G worker thread\n");
        link_mgr.link_running.store(0);
        return -1;
    }
    link_mgr.worker_wifi_running.store(1);
    try {
        link_mgr.worker_wifi = std::thread(link_wifi_worker);
    } catch (const std::system_error &) {
        log_err(LOG_ERR, "LINK: Failed to create WiFi worker thread\n");
        end_4g_worker();
        link_mgr.link_running.store(0);
        return -1;
    }
    try {
        link_mgr.manager = std::thread(link_manager_thread);
    } catch (const std::system_error &) {
        log_err(LOG_ERR, "LINK: Failed to create manager thread\n");
        link_end_pacing();
        end_4g_worker();
        end_wifi_worker();
        return -1;
    }
    log_out(LOG_INFO, "LINK: Module started\n");
    post_switches_on();
    return 0;
}

int link_stop()
{
    if (link_mgr.link_running.load() != 0)
        stop_sequence();
    return 0;
}

void link_cleanup()
{
    link_stop();
    log_out(LOG_INFO, "LINK: Module cleaned up\n");
}
