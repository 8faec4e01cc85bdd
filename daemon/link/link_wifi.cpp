// The WiFi worker: starts and stops the access point through its script when the WiFi
// switch changes, and verifies a start with the health check.
#include "link_internal.h"
#include "thread_name.h"
#include "log.h"

#include "board_file.h"
#include "board_root.h"
#include "led.h"
#include "process.h"
#include "watchdog.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char ap_script[] = "/usr/lib/tesmar_gpio/wifi_ap.sh";

bool command_ok(const char *command) { return run_command(command, child_limit::health_check) == 0; }

// Bracketing the first letter keeps each pattern from matching the command line of the
// shell that runs pgrep, which holds the pattern text itself: unbracketed, a missing
// hostapd or DHCP server would always look present.
constexpr const char hostapd_check[] = "pgrep -f '[h]ostapd.*tesmar-hostapd' > /dev/null";
constexpr const char udhcpd_check[] = "pgrep -f '[u]dhcpd.*tesmar-udhcpd' > /dev/null";
constexpr const char dnsmasq_check[] = "pgrep -f '[d]nsmasq.*tesmar-wifi' > /dev/null";
constexpr const char address_check[] = "ip addr show wlan0 | grep 'inet ' > /dev/null";
constexpr const char ap_mode_check[] = "iw dev wlan0 info | grep -q 'type AP' 2>/dev/null";

bool health_failed(const char *why)
{
    log_out(LOG_WARNING, "LINK: WiFi health check failed - %s\n", why);
    return false;
}

bool healthy()
{
    if (!command_ok(hostapd_check))
        return health_failed("hostapd not running");
    if (!command_ok(udhcpd_check) && !command_ok(dnsmasq_check))
        return health_failed("DHCP server not running");
    struct stat info;
    if (stat(board_path("/sys/class/net/wlan0").c_str(), &info) != 0)
        return health_failed("wlan0 interface not found");
    char state[16];
    switch (read_first_line("/sys/class/net/wlan0/operstate", state, sizeof state)) {
    case line_read::cannot_open:
        return health_failed("cannot read operstate");
    case line_read::cannot_read:
        return health_failed("cannot read operstate value");
    case line_read::ok:
        break;
    }
    if (std::strcmp(state, "up") != 0) {
        log_out(LOG_WARNING, "LINK: WiFi health check failed - wlan0 is %s\n", state);
        return false;
    }
    if (!command_ok(address_check))
        return health_failed("no IP address on wlan0");
    if (!command_ok(ap_mode_check))
        return health_failed("wlan0 not in AP mode");
    return true;
}

void set_state(int state) { link_mgr.state_wifi.store(state); }

// Turn-on with state_wifi_lock held.
void start_ap()
{
    log_out(LOG_INFO, "LINK: WiFi enabled -> starting AP\n");
    link_mgr.wifi_generation++;
    set_state(LINK_STARTING);
    link_mgr.wifi_recovery_attempts = 0;
    if (link_wifi_script("start") != 0) {
        set_state(LINK_FAILED);
        led_blink(LED_WIFI, 5);
        log_err(LOG_ERR, "LINK: WiFi AP start failed\n");
        return;
    }
    std::this_thread::sleep_for(link_timing::ap_settle);
    if (link_wifi_health_check() == 1) {
        set_state(LINK_UP);
        led_on(LED_WIFI);
        log_out(LOG_INFO, "LINK: WiFi AP started and verified\n");
    } else {
        set_state(LINK_FAILED);
        led_blink(LED_WIFI, 3);
        log_out(LOG_WARNING, "LINK: WiFi AP started but verification failed\n");
    }
}

void stop_ap()
{
    log_out(LOG_INFO, "LINK: WiFi disabled -> stopping AP\n");
    link_mgr.wifi_generation++;
    link_wifi_script("stop");
    set_state(LINK_OFF);
    link_mgr.wifi_recovery_attempts = 0;
    led_off(LED_WIFI);
    log_out(LOG_INFO, "LINK: WiFi AP stopped\n");
}

}  // namespace

int link_wifi_script(const char *action)
{
    // The script's path is quoted: on a simulated board it lies under a root of any name.
    const std::string command = shell_quote(board_path(ap_script)) + " " + action;
    const int status = run_command(command, child_limit::ap_script);
    if (status < 0) {
        log_err(LOG_ERR, "LINK: Failed to execute wifi_ap.sh %s: %s\n", action, strerror(errno));
        return -1;
    }
    // A script killed by a signal has failed, though its exit status bits read 0.
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int link_wifi_health_check() { return healthy() ? 1 : 0; }

void link_wifi_worker()
{
    thread_name("link-wifi");
    log_out(LOG_INFO, "LINK: WiFi worker thread started\n");
    while (link_mgr.worker_wifi_running.load() != 0) {
        watchdog_idle(WATCHDOG_LINK_WIFI);
        int request;
        {
            std::unique_lock guard(req_wifi_lock);
            while (link_mgr.req_wifi < 0) {
                if (link_mgr.worker_wifi_running.load() == 0) {
                    link_mgr.req_wifi = -1;
                    return;
                }
                // Every request and the stop are posted under the lock and notified.
                req_wifi_cond.wait(guard);
            }
            request = link_mgr.req_wifi;
            link_mgr.req_wifi = -1;
        }
        // A request still in the slot when the stop has begun runs no script.
        if (link_mgr.worker_wifi_running.load() == 0 || link_mgr.link_running.load() == 0)
            return;
        std::lock_guard state(state_wifi_lock);
        watchdog_beat(WATCHDOG_LINK_WIFI);
        if (request != 0)
            start_ap();
        else
            stop_ap();
    }
}
