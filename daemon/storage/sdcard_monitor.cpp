#include "sdcard_monitor.h"
#include "thread_name.h"
#include "log.h"

#include "board_root.h"
#include "notify.h"
#include "sdcard_mounts.h"
#include "wake_event.h"
#include "watchdog.h"

#include <pthread.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cstdio>

namespace {

struct sdcard_monitor_state {
    std::atomic<int> sdmon_running{0};
    pthread_t thread{};
    std::atomic<long long> interval_ms{2000};
    // Paces the scans; stop sets it so the join never waits out a pause.
    wake_event wake;
};
sdcard_monitor_state sdmon;

// Sleeps one interval; false when the monitor was stopped meanwhile.
bool pause_between_scans()
{
    return sdmon.wake.sleep_for(std::chrono::milliseconds(sdmon.interval_ms.load())) &&
           sdmon.sdmon_running.load() != 0;
}

void *notify_sdcard_monitor_thread(void *)
{
    thread_name("sdcard-monitor");
    watchdog_beat(WATCHDOG_SDCARD_MONITOR);
    int prev = notify_sdcard_scan(nullptr);
    log_out(LOG_INFO, "NOTIFY: SD card monitor started (interval=%llds, initial=%s)\n", sdmon.interval_ms.load() / 1000,
           prev != 0 ? "mounted" : "not mounted");
    while (sdmon.sdmon_running.load() != 0) {
        watchdog_beat(WATCHDOG_SDCARD_MONITOR);
        if (!pause_between_scans())
            break;
        std::uint64_t size = 0;
        int cur = notify_sdcard_scan(&size);
        if (prev == 0 && cur == 1) {
            char params[64];
            std::snprintf(params, sizeof params, "space=%llu", static_cast<unsigned long long>(size));
            notify_send("sdcard_plugin", params);
            log_out(LOG_INFO, "NOTIFY: sdcard_plugin (space=%llu KB)\n", static_cast<unsigned long long>(size));
        }
        if (prev == 1 && cur == 0) {
            notify_send("sdcard_unplug", nullptr);
            log_out(LOG_INFO, "NOTIFY: sdcard_unplug");
        }
        prev = cur;
    }
    log_out(LOG_INFO, "NOTIFY: SD card monitor stopped");
    return nullptr;
}

}  // namespace

int notify_sdcard_scan(std::uint64_t *size_kib)
{
    std::vector<mount_entry> cards = sdcard_card_mounts();
    if (cards.empty())
        return 0;
    struct statvfs stats {};
    if (size_kib != nullptr && statvfs(board_path(cards.front().mount_point).c_str(), &stats) == 0)
        *size_kib = (static_cast<std::uint64_t>(stats.f_frsize) * stats.f_blocks) >> 10;
    return 1;
}

int notify_sdcard_monitor_start()
{
    if (sdmon.sdmon_running.load() != 0)
        return 0;
    sdmon.wake.clear();
    sdmon.sdmon_running.store(1);
    if (pthread_create(&sdmon.thread, nullptr, notify_sdcard_monitor_thread, nullptr) != 0) {
        sdmon.sdmon_running.store(0);
        log_err(LOG_ERR, "NOTIFY: Failed to create SD card monitor thread\n");
        return -1;
    }
    return 0;
}

void notify_sdcard_monitor_stop()
{
    if (sdmon.sdmon_running.load() == 0)
        return;
    // The event stays set until the next start, so the thread cannot miss it between its
    // look at the flag and its pause.
    sdmon.sdmon_running.store(0);
    sdmon.wake.set();
    pthread_join(sdmon.thread, nullptr);
}

void notify_sdcard_set_interval(std::chrono::milliseconds interval) { sdmon.interval_ms.store(interval.count()); }
