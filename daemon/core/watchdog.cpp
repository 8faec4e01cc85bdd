#include "watchdog.h"
#include "log.h"

#include "sd_notify.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>

using namespace std::chrono_literals;

namespace {

using clock = std::chrono::steady_clock;

struct watched_thread {
    const char *name;
    // The slowest legitimate step between two beats, with room to spare: a script counts
    // its time limit (about 30 s), each short command (pgrep, ip, iw, systemctl, umount,
    // blkid), which normally takes well under a second, 10 s.
    std::chrono::seconds allowance;
};

const watched_thread watched[WATCHDOG_THREAD_COUNT] = {
    // A turn polls four lines and runs the callbacks of those that changed (a state file
    // write, a request posted); the pause is 100 ms, 10 s at the most.
    {"input monitor", 30s},
    // A turn may health-check the access point (up to five short commands) and recover it:
    // stop script, 2 s, start script, 3 s, a second check: about 165 s. Waiting for the
    // WiFi worker to finish a start or stop is idle.
    {"link manager", 240s},
    // One dial attempt: up to 30 looks at the interface 1 s apart, then ending the dialer
    // (3 s of SIGTERM, then SIGKILL): about 35 s.
    {"link 4G worker", 90s},
    // Start script, 2 s, the health check (about 80 s); or the stop script. Waiting for a
    // request, or for the manager to finish a recovery, is idle.
    {"link WiFi worker", 150s},
    // A scan reads the mount table and the card's size; the pause is 2 s.
    {"SD card monitor", 60s},
    // A remount stops units, unmounts and mounts again with a dozen short commands, of
    // which two stops may wait for a hung mount until their time limits, then waits up to
    // 11 s for the mount: about 180 s. A bind waits 2 s before its probe; the pause is 3 s.
    {"SD card recovery", 300s},
    // Waiting for a client is idle; a turn hands the connection to a thread of its own.
    {"control server", 30s},
};

// Monotonic nanoseconds of the last beat, or not_busy.
constexpr std::int64_t not_busy = std::numeric_limits<std::int64_t>::min();
std::atomic<std::int64_t> busy_since[WATCHDOG_THREAD_COUNT] = {
    not_busy, not_busy, not_busy, not_busy, not_busy, not_busy, not_busy,
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

clock::time_point (*watchdog_now)() = &clock::now;

// The main thread's side.
struct supervisor_state {
    bool pinged = false;
    clock::time_point last_ping{};
    bool reported[WATCHDOG_THREAD_COUNT] = {};
} supervisor;

std::chrono::seconds shortest_allowance()
{
    auto shortest = watched[0].allowance;
    for (const watched_thread &thread : watched)
        shortest = std::min(shortest, thread.allowance);
    return shortest;
}

bool valid(int thread) { return static_cast<unsigned>(thread) < WATCHDOG_THREAD_COUNT; }

std::int64_t nanoseconds(clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// Logs each change between stuck and moving; true when any thread is stuck at NOW.
bool any_stuck(clock::time_point now)
{
    bool stuck = false;
    for (int thread = 0; thread < WATCHDOG_THREAD_COUNT; thread++) {
        const std::int64_t since = busy_since[thread].load(std::memory_order_relaxed);
        const auto busy = std::chrono::nanoseconds(since == not_busy ? 0 : nanoseconds(now) - since);
        const bool late = busy > watched[thread].allowance;
        if (late && !supervisor.reported[thread])
            log_err(LOG_ERR, "WATCHDOG: %s stuck for %lld s", watched[thread].name,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(busy).count()));
        else if (!late && supervisor.reported[thread])
            log_out(LOG_NOTICE, "WATCHDOG: %s moves again", watched[thread].name);
        supervisor.reported[thread] = late;
        stuck = stuck || late;
    }
    return stuck;
}

}  // namespace

void watchdog_beat(int thread)
{
    if (valid(thread))
        busy_since[thread].store(nanoseconds(watchdog_now()), std::memory_order_relaxed);
}

void watchdog_idle(int thread)
{
    if (valid(thread))
        busy_since[thread].store(not_busy, std::memory_order_relaxed);
}

const char *watchdog_thread_name(int thread) { return valid(thread) ? watched[thread].name : "unknown"; }

std::chrono::seconds watchdog_allowance(int thread) { return valid(thread) ? watched[thread].allowance : 0s; }

std::optional<std::chrono::milliseconds> watchdog_tick()
{
    const auto interval = sd_notify_watchdog_interval();
    if (interval <= 0us)
        return std::nullopt;
    const auto half = std::chrono::duration_cast<clock::duration>(interval / 2);
    const auto now = watchdog_now();
    // Looked at every turn, so a stuck thread is named as soon as it is late.
    const bool stuck = any_stuck(now);
    if (!supervisor.pinged || now - supervisor.last_ping >= half) {
        if (stuck)
            return 1s;  // no ping: the manager restarts the daemon
        sd_notify_send("WATCHDOG=1");
        supervisor.pinged = true;
        supervisor.last_ping = now;
    }
    // The next turn: the next ping, or the moment the first busy thread is over its
    // allowance. A thread that becomes busy after this look cannot be late before the
    // shortest allowance has passed; while one is stuck, a turn a second sees it move.
    auto next = std::min(supervisor.last_ping + half, now + shortest_allowance());
    for (int thread = 0; thread < WATCHDOG_THREAD_COUNT; thread++) {
        const std::int64_t since = busy_since[thread].load(std::memory_order_relaxed);
        if (since == not_busy || supervisor.reported[thread])
            continue;
        const clock::time_point busy_from{std::chrono::duration_cast<clock::duration>(std::chrono::nanoseconds(since))};
        next = std::min(next, busy_from + watched[thread].allowance + std::chrono::nanoseconds(1));
    }
    if (stuck)
        next = std::min(next, now + 1s);
    return std::max<std::chrono::milliseconds>(std::chrono::ceil<std::chrono::milliseconds>(next - now), 1ms);
}

void watchdog_set_clock(clock::time_point (*now)()) { watchdog_now = now; }
