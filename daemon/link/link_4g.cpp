// The 4G worker: runs the modem's connection manager while the 4G switch is on and
// watches the modem's interface; shows the link on the 4G LED.
#include "link_internal.h"
#include "counters.h"
#include "thread_name.h"
#include "log.h"

#include "board_file.h"
#include "board_root.h"
#include "config.h"
#include "led.h"
#include "process.h"
#include "watchdog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The dialer, its arguments and the modem's interface come from the configuration.
const char *dialer_path() { return config().dialer.c_str(); }
const char *modem_iface() { return config().wwan_interface.c_str(); }

std::chrono::milliseconds dialer_grace() { return link_timing::kill_step * link_timing::kill_steps; }

// True once the recorded dialer has ended; then whatever it left in its process group is
// ended, and it is reaped and forgotten in the same step. Until then its pid, and with it
// its group, cannot pass to another process.
bool dialer_ended()
{
    const pid_t pid = link_mgr.dialer_pid;
    if (pid <= 0 || !program_ended(pid))
        return false;
    end_program(pid, dialer_grace());
    link_mgr.dialer_pid = -1;
    return true;
}

// Whether the recorded dialer still runs. One that has ended is reaped here, so an exit
// while the link was failed leaves no zombie and the next attempt starts a new dialer.
bool dialer_alive()
{
    if (link_mgr.dialer_pid <= 0)
        return false;
    return !dialer_ended();
}

void hang_up()
{
    if (dialer_alive())
        link_4g_kill_dialer();
}

enum class dialer_start { started, no_child, not_run };

// Starts the dialer with its output discarded.
dialer_start start_dialer()
{
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    // "quectel-CM -s APN [ARGS...]": each word one argument, never seen by a shell.
    std::string name = "quectel-CM", option = "-s", apn = config().apn;
    std::vector<char *> argv = {name.data(), option.data(), apn.data()};
    std::vector<std::string> extra = config().dialer_args;
    for (std::string &word : extra)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    bool exec_failed = false;
    pid_t pid = spawn_program(board_path(dialer_path()).c_str(), argv.data(), null_fd, &exec_failed);
    int spawn_errno = errno;
    if (null_fd >= 0)
        close(null_fd);
    if (exec_failed) {
        // Its child ended with 127 at once: no dialer ever ran, and the reason is known.
        log_err(LOG_ERR, "LINK: cannot run quectel-CM (%s): %s, exit status 127\n", dialer_path(),
                strerror(spawn_errno));
        return dialer_start::not_run;
    }
    if (pid < 0) {
        log_err(LOG_ERR, "LINK: fork quectel-CM failed: %s\n", strerror(spawn_errno));
        return dialer_start::no_child;
    }
    link_mgr.dialer_pid = pid;
    log_out(LOG_INFO, "LINK: Started quectel-CM (PID %d)\n", static_cast<int>(pid));
    return dialer_start::started;
}

void set_state(int state)
{
    link_note_4g_state(state);
    link_mgr.state_4g.store(state);
}

void dial_timed_out()
{
    set_state(LINK_FAILED);
    led_blink(LED_4G, 1);
    log_out(LOG_WARNING, "LINK: 4G dial timeout, will retry\n");
}

// Waits for the interface with state_4g_lock held, while the dialer runs and the switch
// stays on; up to the dial time-out.
void await_interface()
{
    int left = link_timing::dial_steps;
    while (link_mgr.link_running.load() != 0) {
        if (dialer_ended())
            break;
        if (link_mgr.enabled_4g.load() == 0) {
            hang_up();
            set_state(LINK_OFF);
            led_off(LED_4G);
            return;
        }
        if (link_4g_iface_up() == 1) {
            set_state(LINK_UP);
            led_on(LED_4G);
            log_out(LOG_INFO, "LINK: 4G connected via %s\n", modem_iface());
            return;
        }
        link_pace(link_timing::dial_step);
        if (--left == 0)
            break;
    }
    // A dialer still running has stalled: the retry replaces it.
    dial_timed_out();
}

// One dial attempt with state_4g_lock held. A turn-on request keeps a dialer that runs
// (it may well be connected); a retry after a time-out replaces it, since that one never
// brought the interface up.
void dial(bool replace_running)
{
    log_out(LOG_INFO, "LINK: 4G enabled -> starting quectel-CM\n");
    set_state(LINK_STARTING);
    led_blink(LED_4G, 1);

    if (replace_running && dialer_alive())
        link_4g_kill_dialer();
    if (!dialer_alive()) {
        switch (start_dialer()) {
        case dialer_start::started:
            break;
        case dialer_start::no_child:
            set_state(LINK_FAILED);
            led_blink(LED_4G, 5);
            return;
        case dialer_start::not_run:
            // As a dialer that exited at once: the attempt ends as a time-out and is retried.
            dial_timed_out();
            return;
        }
    }
    await_interface();
}

// The interface went down under a dialer that still runs (the modem lost the network):
// show it as dialing again and give the dialer the dial time-out to bring it back.
void interface_lost()
{
    log_out(LOG_WARNING, "LINK: 4G interface %s went down, waiting for quectel-CM to reconnect\n", modem_iface());
    set_state(LINK_STARTING);
    led_blink(LED_4G, 1);
    await_interface();
}

}  // namespace

void link_4g_apply(int enable)
{
    std::lock_guard guard(state_4g_lock);
    if (enable != 0) {
        dial(false);
        return;
    }
    log_out(LOG_INFO, "LINK: 4G disabled -> stopping quectel-CM\n");
    hang_up();
    set_state(LINK_OFF);
    led_off(LED_4G);
}

void link_4g_kill_dialer()
{
    const pid_t pid = link_mgr.dialer_pid;
    log_out(LOG_INFO, "LINK: Stopping quectel-CM (PID %d)\n", static_cast<int>(pid));
    // The dialer and whatever it started share one grace: SIGTERM to its group, SIGKILL to
    // what is left of the group when the grace ends, then the reap.
    bool killed = false;
    end_program(pid, dialer_grace(), &killed);
    link_mgr.dialer_pid = -1;
    if (killed)
        log_out(LOG_WARNING, "LINK: quectel-CM force killed\n");
    else
        log_out(LOG_INFO, "LINK: quectel-CM stopped\n");
}

int link_4g_iface_up()
{
    char path[128];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/flags", modem_iface());
    char line[256];
    if (read_first_line(path, line, sizeof line) != line_read::ok)
        return 0;
    // The kernel writes the flags in hexadecimal with "0x"; bit 0 is IFF_UP.
    const unsigned long flags = std::strtoul(line, nullptr, 0);
    return (flags & 1UL) != 0 ? 1 : 0;
}

void link_4g_worker()
{
    thread_name("link-4g");
    log_out(LOG_INFO, "LINK: 4G worker thread started\n");
    while (link_mgr.worker_4g_running.load() != 0) {
        watchdog_idle(WATCHDOG_LINK_4G);
        int request;
        {
            std::unique_lock guard(req_4g_lock);
            // One wait per round; a request or a stop ends it at once.
            req_4g_cond.wait_for(guard, link_timing::worker_4g_wait, [] {
                return link_mgr.req_4g >= 0 || link_mgr.worker_4g_running.load() == 0;
            });
            request = link_mgr.req_4g;
            link_mgr.req_4g = -1;
        }
        watchdog_beat(WATCHDOG_LINK_4G);
        // Once the stop has begun (pacing ended first), a request still in the slot starts
        // no new attempt: the stop sequence takes the dialer down anyway.
        if (link_mgr.worker_4g_running.load() == 0 || link_mgr.link_running.load() == 0)
            break;
        if (request >= 0) {
            link_4g_apply(request);
            continue;
        }

        std::unique_lock state(state_4g_lock);
        if (link_mgr.state_4g.load() == LINK_FAILED && link_mgr.enabled_4g.load() != 0) {
            log_out(LOG_INFO, "LINK: 4G retry dialing\n");
            counter_add(COUNTER_REDIAL_4G);
            dial(true);
        } else if (link_mgr.state_4g.load() == LINK_UP && dialer_ended()) {
            state.unlock();
            log_out(LOG_WARNING, "LINK: quectel-CM died, reconnecting\n");
            link_4g_apply(1);
        } else if (link_mgr.state_4g.load() == LINK_UP && link_4g_iface_up() == 0) {
            interface_lost();
        }
    }
}
