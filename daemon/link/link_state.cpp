// The two switches, their request slots, the state file, the keys and the toggles.
#include "link_internal.h"
#include "counters.h"
#include "link_state_file.h"
#include "log.h"

#include "board_root.h"
#include "input.h"
#include "gpio.h"
#include "notify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

link_manager_state link_mgr;
std::mutex req_4g_lock;
std::mutex req_wifi_lock;
std::mutex state_4g_lock;
std::mutex state_wifi_lock;
std::condition_variable req_4g_cond;
std::condition_variable req_wifi_cond;

namespace {

constexpr const char state_dir[] = "/var/lib/tesmar_gpio";
constexpr const char state_file[] = "/var/lib/tesmar_gpio/link_state";
constexpr const char state_temp[] = "/var/lib/tesmar_gpio/link_state.tmp";

// The two toggles hold different locks: this one keeps their writes from interleaving,
// and the switches are read inside it so the last file written carries both last flips.
std::mutex state_file_lock;

bool write_all(int fd, const char *text, std::size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n < 0)
            return false;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// The flip holds in memory, but the next start would load the old switches: say so.
void save_failed(int error)
{
    log_err(LOG_ERR, "LINK: Failed to save %s: %s\n", state_file, std::strerror(error));
}

const char *on_off(int value) { return value != 0 ? "ON" : "OFF"; }

// The key's press is accepted when none was accepted in the last ten seconds; an ignored
// press leaves the window where it was.
bool debounce_accepts(std::optional<link_timing::clock::time_point> &last_press)
{
    const auto now = link_timing::now();
    if (last_press && now - *last_press < link_timing::key_debounce)
        return false;
    last_press = now;
    return true;
}

// Flips SWITCH and posts the new value in one critical section; the caller holds LOCK.
int flip(fed_atomic<int> &enabled, int &request)
{
    const int value = enabled.load() != 0 ? 0 : 1;
    request = value;
    enabled.store(value);
    link_save_state();
    return value;
}

}  // namespace

// A power cut in the middle of a write must leave the old line or the new one, never an
// empty file: write a temporary file beside it, flush it to disk, rename it over the old
// one. The directory is never created; without it the flip stays in memory only.
void link_save_state()
{
    std::lock_guard guard(state_file_lock);
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%d %d\n", link_mgr.enabled_4g.load(),
                                     link_mgr.enabled_wifi.load());
    const std::string temp = board_path(state_temp);
    // A fresh file each time: whatever an earlier crash left there, even a link to some
    // other file, is removed rather than written through.
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        save_failed(errno);
        return;
    }
    int error = 0;
    if (!write_all(fd, line, static_cast<std::size_t>(length)) || fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && link_timing::before_state_rename != nullptr)
        link_timing::before_state_rename();
    if (error == 0 && rename(temp.c_str(), board_path(state_file).c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        save_failed(error);
        return;
    }
    // The rename itself reaches the disk with the directory.
    int dir = open(board_path(state_dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

int link_init()
{
    link_mgr.req_4g = -1;
    link_mgr.req_wifi = -1;
    link_mgr.dialer_pid = -1;
    link_mgr.state_wifi.store(LINK_OFF);
    link_mgr.eth_link_up = 0;
    link_mgr.state_4g.store(LINK_OFF);

    FILE *file = std::fopen(board_path(state_file).c_str(), "re");
    if (file != nullptr) {
        char text[128];
        const std::size_t length = std::fread(text, 1, sizeof text, file);
        std::fclose(file);
        int enabled_4g = 0;
        int enabled_wifi = 0;
        link_parse_state(text, length, &enabled_4g, &enabled_wifi);
        link_mgr.enabled_4g.store(enabled_4g);
        link_mgr.enabled_wifi.store(enabled_wifi);
        log_out(LOG_INFO, "LINK: Loaded state: 4G=%d WiFi=%d\n", enabled_4g, enabled_wifi);
    } else {
        log_out(LOG_INFO, "LINK: No state file, defaults: 4G=0 WiFi=0\n");
    }

    input_set_callback(IN_VALID1, link_on_valid1, 0);
    input_set_callback(IN_4G, link_on_4g_key, 0);
    input_set_callback(IN_WIFI, link_on_wifi_key, 0);
    log_out(LOG_INFO, "LINK: Module initialized\n");
    return 0;
}

void link_on_4g_key(unsigned int, int level, std::uintptr_t)
{
    if (level != 1)
        return;
    if (!debounce_accepts(link_mgr.last_4g_key)) {
        log_out(LOG_INFO, "LINK: 4G toggle ignored (debounce %ds)\n", static_cast<int>(link_timing::key_debounce.count()));
        return;
    }
    std::lock_guard guard(req_4g_lock);
    const int value = flip(link_mgr.enabled_4g, link_mgr.req_4g);
    log_out(LOG_INFO, "LINK: 4G toggled -> %s\n", on_off(value));
    notify_send("key_pressed", value != 0 ? "key=4G&status=on" : "key=4G&status=off");
    counter_add(COUNTER_KEY_4G);
    req_4g_cond.notify_all();
}

void link_on_wifi_key(unsigned int, int level, std::uintptr_t)
{
    if (level != 1)
        return;
    if (!debounce_accepts(link_mgr.last_wifi_key)) {
        log_out(LOG_INFO, "LINK: WiFi toggle ignored (debounce %ds)\n", static_cast<int>(link_timing::key_debounce.count()));
        return;
    }
    std::lock_guard guard(req_wifi_lock);
    const int value = flip(link_mgr.enabled_wifi, link_mgr.req_wifi);
    log_out(LOG_INFO, "LINK: WiFi toggled -> %s\n", on_off(value));
    notify_send("key_pressed", value != 0 ? "key=WiFi&status=on" : "key=WiFi&status=off");
    counter_add(COUNTER_KEY_WIFI);
    req_wifi_cond.notify_all();
}

int link_toggle_4g()
{
    std::lock_guard guard(req_4g_lock);
    const int value = flip(link_mgr.enabled_4g, link_mgr.req_4g);
    log_out(LOG_INFO, "LINK: 4G software toggle -> %s\n", on_off(value));
    req_4g_cond.notify_all();
    return value;
}

int link_toggle_wifi()
{
    std::lock_guard guard(req_wifi_lock);
    const int value = flip(link_mgr.enabled_wifi, link_mgr.req_wifi);
    log_out(LOG_INFO, "LINK: WiFi software toggle -> %s\n", on_off(value));
    req_wifi_cond.notify_all();
    return value;
}

int link_get_4g_enabled() { return link_mgr.enabled_4g.load(); }
int link_get_wifi_enabled() { return link_mgr.enabled_wifi.load(); }

int link_get_4g_state() { return link_mgr.state_4g.load(); }
int link_get_wifi_state() { return link_mgr.state_wifi.load(); }

void link_note_4g_state(int state)
{
    // Attempts count from the last time the link was up or switched off, so a link that
    // keeps failing shows how long it has been trying.
    if (state == LINK_STARTING)
        link_mgr.dial_attempts_4g.fetch_add(1);
    else if (state == LINK_UP || state == LINK_OFF)
        link_mgr.dial_attempts_4g.store(0);
}

namespace {

// The set commands: like a toggle when VALUE differs from the switch, else nothing at all.
int set_switch(std::mutex &lock, std::condition_variable &cond, fed_atomic<int> &enabled, int &request,
               int value, const char *name, const char *link)
{
    std::lock_guard guard(lock);
    if ((enabled.load() != 0) == (value != 0))
        return 0;
    const int now = flip(enabled, request);
    log_out(LOG_INFO, "LINK: %s software set -> %s\n", name, on_off(now));
    char params[32];
    std::snprintf(params, sizeof params, "link=%s&status=%s", link, now != 0 ? "on" : "off");
    notify_send("link_switch", params);
    cond.notify_all();
    return 1;
}

}  // namespace

int link_set_4g(int value)
{
    return set_switch(req_4g_lock, req_4g_cond, link_mgr.enabled_4g, link_mgr.req_4g, value, "4G", "4G");
}

int link_set_wifi(int value)
{
    return set_switch(req_wifi_lock, req_wifi_cond, link_mgr.enabled_wifi, link_mgr.req_wifi, value, "WiFi", "WiFi");
}

link_snapshot link_get_snapshot()
{
    link_snapshot s{};
    s.switch_4g = link_mgr.enabled_4g.load();
    s.state_4g = link_mgr.state_4g.load();
    s.attempts_4g = link_mgr.dial_attempts_4g.load();
    s.iface_4g_up = link_4g_iface_up();
    s.dialer_pid = link_mgr.dialer_pid.load();
    s.switch_wifi = link_mgr.enabled_wifi.load();
    s.state_wifi = link_mgr.state_wifi.load();
    s.attempts_wifi = link_mgr.wifi_recovery_attempts.load();
    return s;
}
