// The beeper's patterns run on one worker thread at a time.
//
// The worker handle is guarded by beep_lock like the rest of the state, and every
// hand-over of it happens inside one critical section:
// - beep_off, beep_cleanup and beep_init clear `running` and move the handle out in
//   the same critical section, then join their private copy after releasing the lock
//   (a tone worker may still take the lock once more on its way out);
// - a starting operation that finds `running` at 0 and a handle in the slot knows that
//   worker ended its pattern by itself: such a worker clears `running` in its last
//   critical section and never takes the lock again, so it is joined right there before
//   the new handle replaces it.
// A handle is thus joined by exactly one thread and never overwritten while joinable.
//
// Each worker also carries a number; one that finds a newer worker created after it
// (an off and a new pattern raced past its 100 ms nap) leaves without touching the line.
#include "beep.h"
#include "thread_name.h"
#include "log.h"

#include "gpio.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int default_on_ms = 100;
constexpr int default_alarm_count = 3;
constexpr int default_alarm_gap_ms = 200;
// A tone re-drives the line and looks at the state this often.
constexpr std::chrono::milliseconds tone_cycle{100};

struct beep_state {
    int running = 0;
    int mode = BEEP_MODE_OFF;
    int muted = 0;
    int on_ms = default_on_ms;
    int alarm_count = 1;
    int alarm_gap_ms = default_alarm_gap_ms;
    unsigned worker_number = 0;  // of the newest worker
    std::thread thread;
} beep;

std::mutex beep_lock;

// Stop and cleanup cut a pattern short: a once or alarm pattern holds beep_lock while
// it plays, and a duration taken from a control request (up to 65.5 s) could otherwise
// hold up shutdown, and every request waiting behind it, for as long as the client
// asked. Once set, new patterns are refused.
std::atomic<int> closing{0};
std::mutex nap_lock;
std::condition_variable nap_wake;

void drive(int level)
{
    gpio_set_output(OUT_BEEP, level);
}

void nap_ms(int ms)
{
    std::unique_lock guard(nap_lock);
    nap_wake.wait_for(guard, std::chrono::milliseconds(ms), [] { return closing.load() != 0; });
}

void play_once()
{
    if (beep.muted != 0)
        return;
    drive(1);
    nap_ms(beep.on_ms);
    drive(0);
}

void play_alarm()
{
    if (beep.muted != 0)
        return;
    // alarm_count is read afresh each pass.
    for (int i = 0; i < beep.alarm_count; i++) {
        if (beep.running == 0 || closing.load() != 0)
            break;
        drive(1);
        nap_ms(beep.on_ms);
        drive(0);
        if (i < beep.alarm_count - 1 && beep.running == 1)
            nap_ms(beep.alarm_gap_ms);
    }
}

// The line is driven low with beep_lock held on every way out, so a newer worker
// cannot have driven it high in between.
void beep_worker(unsigned number)
{
    thread_name("beep");
    std::unique_lock guard(beep_lock);
    for (;;) {
        if (number != beep.worker_number)
            return;
        if (beep.running == 0) {
            drive(0);
            return;
        }
        switch (beep.mode) {
        case BEEP_MODE_ONCE:
            play_once();
            break;
        case BEEP_MODE_ALARM:
            play_alarm();
            break;
        case BEEP_MODE_CONTINUOUS:
            if (beep.muted == 0)
                drive(1);
            // A plain sleep: off ends a tone within one cycle anyway, and a tone
            // still sounding after the stop must not spin on the closing flag.
            guard.unlock();
            std::this_thread::sleep_for(tone_cycle);
            guard.lock();
            continue;
        default:
            drive(0);
            beep.running = 0;
            return;
        }
        beep.running = 0;
        beep.mode = BEEP_MODE_OFF;
        drive(0);
        return;
    }
}

// Called with beep_lock held, after the pattern is stored.
int start_worker_locked()
{
    // A request that waited behind a pattern cut short by the stop gets its answer now
    // instead of starting a pattern the cleanup would end at once.
    if (closing.load() != 0) {
        log_err(LOG_NOTICE, "BEEP: Stopping, pattern refused\n");
        return -1;
    }
    if (beep.running != 0)
        return 0;  // the active worker picks the new mode up at its next look
    // A handle still here belongs to a worker that finished by itself.
    if (beep.thread.joinable())
        beep.thread.join();
    beep.running = 1;
    beep.worker_number++;
    try {
        beep.thread = std::thread(beep_worker, beep.worker_number);
    } catch (const std::system_error &e) {
        beep.running = 0;
        log_err(LOG_ERR, "BEEP: Failed to create worker thread: %s\n", e.what());
        return -1;
    }
    return 0;
}

// Tells the worker to end and hands its handle to the caller, who joins it after
// releasing beep_lock. Called with beep_lock held.
std::thread halt_worker_locked()
{
    beep.running = 0;
    beep.mode = BEEP_MODE_OFF;
    return std::move(beep.thread);
}

void join(std::thread &worker)
{
    if (worker.joinable())
        worker.join();
}

// Stops the worker and waits for it; a once or alarm pattern in progress ends first.
void stop_worker()
{
    std::thread worker;
    {
        std::lock_guard guard(beep_lock);
        worker = halt_worker_locked();
    }
    join(worker);
    drive(0);
}

}  // namespace

int beep_init()
{
    // Takes over a worker a repeated init would otherwise strand in the slot.
    std::thread worker;
    {
        std::lock_guard guard(beep_lock);
        worker = halt_worker_locked();
        beep.muted = 0;
    }
    join(worker);
    closing.store(0);
    drive(0);
    log_out(LOG_INFO, "BEEP: Module initialized\n");
    return 0;
}

int beep_on()
{
    std::lock_guard guard(beep_lock);
    beep.mode = BEEP_MODE_CONTINUOUS;
    return start_worker_locked();
}

int beep_off()
{
    stop_worker();
    return 0;
}

int beep_once(int duration_ms)
{
    std::lock_guard guard(beep_lock);
    beep.on_ms = duration_ms > 0 ? duration_ms : default_on_ms;
    beep.mode = BEEP_MODE_ONCE;
    return start_worker_locked();
}

int beep_alarm(int count, int on_ms, int gap_ms)
{
    std::lock_guard guard(beep_lock);
    beep.on_ms = on_ms > 0 ? on_ms : default_on_ms;
    beep.alarm_count = count > 0 ? count : default_alarm_count;
    beep.alarm_gap_ms = gap_ms > 0 ? gap_ms : default_alarm_gap_ms;
    beep.mode = BEEP_MODE_ALARM;
    return start_worker_locked();
}

int beep_set_mute(int flag)
{
    {
        std::lock_guard guard(beep_lock);
        beep.muted = flag != 0 ? 1 : 0;
    }
    if (flag != 0)
        drive(0);
    return 0;
}

int beep_get_mute()
{
    std::lock_guard guard(beep_lock);
    return beep.muted;
}

int beep_is_active()
{
    std::lock_guard guard(beep_lock);
    return beep.running;
}

void beep_stop()
{
    {
        std::lock_guard guard(nap_lock);
        closing.store(1);
    }
    nap_wake.notify_all();
}

void beep_cleanup()
{
    beep_stop();
    stop_worker();
    log_out(LOG_INFO, "BEEP: Module cleaned up\n");
}
