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

// True once the child PID has ended, which also reaps it.
bool dialer_ended(pid_t pid)
{
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

// Whether the recorded dialer still runs. One that has ended is reaped here, so an exit
// while the link was failed leaves no zombie and the next attempt starts a new dialer.
bool dialer_alive()
{
    if (link_mgr.dialer_pid <= 0)
        return false;
    if (!dialer_ended(link_mgr.dialer_pid))
        return true;
    link_mgr.dialer_pid = -1;
    return false;
}

void hang_up()
{
    if (dialer_alive())
        link_4g_kill_dialer();
}

// Starts the dialer with its output discarded; false when no child could be made.
bool start_dialer()
{
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    // "quectel-CM -s APN [ARGS...]": each word one argument, never seen by a shell.
    std::string name = "quectel-CM", option = "-s", apn = config().apn;
    std::vector<char *> argv = {name.data(), option.data(), apn.data()};
    std::vector<std::string> extra = config().dialer_args;
    for (std::string &word : extra)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = spawn_program(board_path(dialer_path()).c_str(), argv.data(), null_fd);
    int spawn_errno = errno;
    if (null_fd >= 0)
        close(null_fd);
    if (pid < 0) {
        log_err(LOG_ERR, "LINK: fork quectel-CM failed: %s\n", strerror(spawn_errno));
        return false;
    }
    link_mgr.dialer_pid = pid;
    log_out(LOG_INFO, "LINK: Started quectel-CM (PID %d)\n", static_cast<int>(pid));
    return true;
}

void set_state(int state)
{
    link_note_4g_state(state);
    link_mgr.state_4g.store(state);
}

// Waits for the interface with state_4g_lock held, while the dialer runs and the switch
// stays on; up to the dial time-out.
void await_interface()
{
    int left = link_timing::dial_steps;
    while (link_mgr.link_running.load() != 0) {
        if (link_mgr.dialer_pid > 0 && dialer_ended(link_mgr.dialer_pid)) {
            link_mgr.dialer_pid = -1;
            break;
        }
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
    set_state(LINK_FAILED);
    led_blink(LED_4G, 1);
    log_out(LOG_WARNING, "LINK: 4G dial timeout, will retry\n");
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
    if (!dialer_alive() && !start_dialer()) {
        set_state(LINK_FAILED);
        led_blink(LED_4G, 5);
        return;
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
    kill(pid, SIGTERM);
    for (int i = 0; i < link_timing::kill_steps; i++) {
        std::this_thread::sleep_for(link_timing::kill_step);
        if (dialer_ended(pid)) {
            link_mgr.dialer_pid = -1;
            log_out(LOG_INFO, "LINK: quectel-CM stopped\n");
            return;
        }
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    link_mgr.dialer_pid = -1;
    log_out(LOG_WARNING, "LINK: quectel-CM force killed\n");
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
        } else if (link_mgr.state_4g.load() == LINK_UP && link_mgr.dialer_pid > 0 &&
                   dialer_ended(link_mgr.dialer_pid)) {
            link_mgr.dialer_pid = -1;
            state.unlock();
            log_out(LOG_WARNING, "LINK: quectel-CM died, reconnecting\n");
            link_4g_apply(1);
        } else if (link_mgr.state_4g.load() == LINK_UP && link_4g_iface_up() == 0) {
            interface_lost();
        }
    }
}
