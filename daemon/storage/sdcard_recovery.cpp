#include "sdcard_recovery.h"
#include "counters.h"
#include "thread_name.h"
#include "log.h"

#include "board_root.h"
#include "change_feed.h"
#include "led.h"
#include "notify.h"
#include "process.h"
#include "sdcard_mounts.h"
#include "unique_fd.h"
#include "watchdog.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr const char card_partition[] = "/dev/mmcblk0p1";
constexpr const char mmc_driver_dir[] = "/sys/bus/mmc/drivers/mmcblk";
// Every MMC card the host sees, bound to the block driver or not: the card's entry here
// is there exactly while the card sits in its slot.
constexpr const char mmc_devices_dir[] = "/sys/bus/mmc/devices";
constexpr const char device_dir[] = "/dev";
constexpr const char card_partition_name[] = "mmcblk0p1";
constexpr const char fallback_label[] = "mmcblk0";
// The automount unit's label while no label has been read from the card.
constexpr const char default_label[] = "tmData";
constexpr int max_remount_failures = 3;
// Card mounts cleared per remount; more than the card can have partitions.
constexpr int max_unmount_rounds = 10;
constexpr std::size_t max_address_length = 31;
constexpr std::size_t max_label_length = 63;
constexpr std::size_t max_unit_body = 284;

const char *const state_names[] = {"MOUNTED", "DEGRADED", "UNBOUND", "REMOUNTING"};

struct sdcard_recovery_module {
    fed_atomic<unsigned> recovery_state{MOUNTED, CHANGE_CARD_STATE, 0};
    std::string mmc_address;
    std::string volume_label;
    std::atomic<int> recovery_running{0};
    pthread_t thread{};
    int remount_failures = 0;
    // A remount whose mount systemd still checks or mounts: the next polls wait for it
    // instead of starting (and so cancelling) another.
    bool remount_pending = false;
    std::string remount_path;
    // Set by an eject (in its connection thread) and kept when it succeeds; cleared here
    // once the card is out.
    std::atomic<bool> eject_hold{false};
    // Guards the two fields below, which the eject's connection thread also reads or sets.
    std::mutex hold_lock;
    // While held: an inotify watch on /dev, so a card pulled and put back between two
    // looks still leaves its trace (its partition node went, or came). -1 without one.
    int hold_events = -1;
    // Set when a hold begins, cleared by the recovery's first look under it.
    bool hold_fresh = false;
    // The card's MMC address as last found, for the eject's look at the slot.
    std::string known_address;
    sdcard_recovery_timing timing;
    // Paces the polls; stop wakes it, so no pause outlasts a stop. An eject pokes it
    // (under the lock), so the poll after an eject comes at once.
    std::mutex wake_lock;
    std::condition_variable wake;
    bool poked = false;
    // Passes of the loop begun and ended (under wake_lock), so an eject can wait for one
    // that saw its hold from the start.
    unsigned long passes_begun = 0;
    unsigned long passes_done = 0;
    std::condition_variable pass_done;
};
sdcard_recovery_module recovery;

// One whole line, tag and message together, so no other thread's line lands inside it.
__attribute__((format(printf, 2, 3))) void sdcard_log(int priority, const char *format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_err(priority, "SDCARD: %s", message);
}

// Waits DURATION unless stopped first; false when the thread should end.
bool pause_unless_stopped(std::chrono::milliseconds duration)
{
    std::unique_lock lock(recovery.wake_lock);
    recovery.wake.wait_for(lock, duration, [] { return recovery.recovery_running.load() == 0; });
    return recovery.recovery_running.load() != 0;
}

bool path_missing(const std::string &path)
{
    struct stat info {};
    return lstat(board_path(path).c_str(), &info) != 0 && errno == ENOENT;
}

// True when the card is out of its slot: its partition has no device node and the MMC
// host holds no card at its address (a card the recovery unbound has no node, yet is
// still in the slot).
bool card_device_gone()
{
    if (!path_missing(card_partition))
        return false;
    std::lock_guard guard(recovery.hold_lock);
    return recovery.known_address.empty() ||
           path_missing(std::string(mmc_devices_dir) + "/" + recovery.known_address);
}

void remember_address(const std::string &address)
{
    recovery.mmc_address = address;
    std::lock_guard guard(recovery.hold_lock);
    recovery.known_address = address;
}

// Drains the watch on /dev; true when the card's partition node came or went since the
// last look. While held nothing of ours binds or unbinds the card, so either means it
// was taken out (and perhaps put back). Call with hold_lock held.
bool card_node_changed_locked()
{
    if (recovery.hold_events < 0)
        return false;
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = read(recovery.hold_events, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->len > 0 && std::strcmp(event->name, card_partition_name) == 0)
                changed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return changed;
}

void close_hold_watch_locked()
{
    if (recovery.hold_events >= 0)
        close(recovery.hold_events);
    recovery.hold_events = -1;
}

// Starts the watch on /dev afresh; without inotify the looks alone remain.
void open_hold_watch_locked()
{
    close_hold_watch_locked();
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return;
    if (inotify_add_watch(fd, board_path(device_dir).c_str(), IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
        close(fd);
        return;
    }
    recovery.hold_events = fd;
}

// Ends the eject hold once the card has been taken out; true when it did.
bool release_hold_if_card_out()
{
    if (!recovery.eject_hold.load())
        return false;
    bool node_changed;
    {
        std::lock_guard guard(recovery.hold_lock);
        node_changed = card_node_changed_locked();
        // What the node did before the recovery first looked under the hold was its own
        // doing (a bind or an unbind of the pass the hold came in), not the card leaving.
        if (recovery.hold_fresh)
            node_changed = false;
        recovery.hold_fresh = false;
    }
    if (!node_changed && !card_device_gone())
        return false;
    bool held = true;
    if (!recovery.eject_hold.compare_exchange_strong(held, false))
        return false;
    {
        std::lock_guard guard(recovery.hold_lock);
        close_hold_watch_locked();
    }
    sdcard_log(LOG_INFO, "card taken out: eject hold released");
    return true;
}

// The pause between two polls: ends early on stop or on a poke, and, while the eject hold
// is on, as soon as the card is taken out, so a card pulled and put back within one poll
// is still seen leaving. False when the thread should end.
bool pause_for_poll()
{
    auto deadline = std::chrono::steady_clock::now() + recovery.timing.poll;
    std::unique_lock lock(recovery.wake_lock);
    for (;;) {
        auto until = deadline;
        if (recovery.eject_hold.load())
            until = std::min(deadline, std::chrono::steady_clock::now() + recovery.timing.hold_watch);
        if (recovery.wake.wait_until(lock, until, [] { return recovery.recovery_running.load() == 0 || recovery.poked; }))
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        lock.unlock();
        bool released = release_hold_if_card_out();
        lock.lock();
        if (released)
            break;
    }
    recovery.poked = false;
    return recovery.recovery_running.load() != 0;
}

void set_state(unsigned next)
{
    unsigned previous = recovery.recovery_state.exchange(next);
    if (previous != next)
        sdcard_log(LOG_INFO, "state: %s \u2192 %s", state_names[previous], state_names[next]);
}

// The lines of a program's output, without their line ends.
std::vector<std::string> split_lines(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Word INDEX (from 0) of LINE, words being separated by blanks; empty when there is none.
std::string_view word_at(std::string_view line, int index)
{
    for (int i = 0;; ++i) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            return {};
        line.remove_prefix(start);
        std::string_view word = line.substr(0, line.find_first_of(" \t"));
        if (i == index)
            return word;
        line.remove_prefix(word.size());
    }
}

// The body of the systemd unit name of PATH, without its suffix.
std::string unit_body(std::string_view path)
{
    std::string unit = mount_unit_name(path);
    return unit.substr(0, unit.size() - std::strlen(".mount"));
}

std::uint64_t size_kib(const struct statvfs &stats)
{
    return (static_cast<std::uint64_t>(stats.f_frsize) * stats.f_blocks) >> 10;
}

// The first card mount: its mount point and options (decoded); false when there is none.
bool sdcard_find_mount(mount_entry &found)
{
    std::vector<mount_entry> cards = sdcard_card_mounts();
    if (cards.empty())
        return false;
    found = std::move(cards.front());
    return true;
}

// The exit code of a wait status for the log: the code, 128 + signal, or -1.
int exit_code_of(int status)
{
    if (status == -1)
        return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The device entry of the card in the driver directory: a symbolic link into the device
// tree whose device carries the block device mmcblk0. Control files, "module" and other
// devices (an on-board eMMC) never qualify, so an unbind can only reset the card.
bool is_card_device_entry(const std::string &dir, const char *name)
{
    if (name[0] == '.' || std::strlen(name) > max_address_length)
        return false;
    std::string entry = dir + "/" + name;
    struct stat info {};
    if (lstat(entry.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return false;
    char target[4096];
    ssize_t length = readlink(entry.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    if (std::strstr(target, "/devices/") == nullptr)
        return false;
    return stat((entry + "/block/" + SDCARD_DEVICE_MATCH).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int mmc_find_address()
{
    std::string dir = board_path(mmc_driver_dir);
    std::unique_ptr<DIR, int (*)(DIR *)> listing(opendir(dir.c_str()), closedir);
    if (!listing)
        return -1;
    while (dirent *entry = readdir(listing.get())) {
        // The listing says what most entries are: only links need a closer look.
        if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
            continue;
        if (is_card_device_entry(dir, entry->d_name)) {
            remember_address(entry->d_name);
            return 0;
        }
    }
    return -1;
}

// Writes the card's address into the driver's control file NAME; false when the write
// did not go through (with ERROR set to the reason).
bool write_driver_file(const char *name, int &error)
{
    std::string path = board_path(std::string(mmc_driver_dir) + "/" + name);
    unique_fd fd(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd) {
        error = errno;
        return false;
    }
    ssize_t written = write(fd.get(), recovery.mmc_address.data(), recovery.mmc_address.size());
    error = written < 0 ? errno : EIO;
    return written > 0;
}

void mmc_unbind()
{
    if (recovery.mmc_address.empty() && mmc_find_address() != 0) {
        sdcard_log(LOG_WARNING, "cannot find MMC address for unbind");
        return;
    }
    int error = 0;
    if (write_driver_file("unbind", error))
        sdcard_log(LOG_INFO, "unbound MMC device %s", recovery.mmc_address.c_str());
    else
        sdcard_log(LOG_WARNING, "unbind failed for %s: %s", recovery.mmc_address.c_str(), std::strerror(error));
}

bool card_probe()
{
    unique_fd fd(open(board_path(card_partition).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    char block[512];
    return read(fd.get(), block, sizeof block) > 0;
}

enum class bind_result { not_written, stopped, card_silent, card_present };

// Binds the card again and probes it once it had time to settle.
bind_result mmc_bind_and_probe()
{
    if (recovery.mmc_address.empty() && mmc_find_address() != 0)
        return bind_result::not_written;
    int error = 0;
    if (!write_driver_file("bind", error))
        return bind_result::not_written;
    if (!pause_unless_stopped(recovery.timing.bind_settle))
        return bind_result::stopped;
    return card_probe() ? bind_result::card_present : bind_result::card_silent;
}

void sdcard_unmount_all()
{
    for (int round = 0; round < max_unmount_rounds; ++round) {
        std::vector<mount_entry> entries;
        if (!sdcard_read_mounts(entries))
            return;
        const mount_entry *card = nullptr;
        for (const mount_entry &entry : entries) {
            if (entry.device.find(SDCARD_DEVICE_MATCH) != std::string::npos &&
                (sdcard_path_below(entry.mount_point, SDCARD_MOUNT_BASE) ||
                 sdcard_path_below(entry.mount_point, SDCARD_AUTOMOUNT_BASE))) {
                card = &entry;
                break;
            }
        }
        if (card == nullptr)
            return;
        run_command("umount -l " + shell_quote(card->mount_point) + " 2>/dev/null", child_limit::umount);
        sdcard_log(LOG_INFO, "unmounted %s", card->mount_point.c_str());
    }
}

void stop_unit(const std::string &unit)
{
    run_command("systemctl stop " + shell_quote(unit) + " 2>/dev/null", child_limit::systemctl);
    run_command("systemctl reset-failed " + shell_quote(unit) + " 2>/dev/null", child_limit::systemctl);
}

void sdcard_clear_units()
{
    mount_entry card;
    if (sdcard_find_mount(card)) {
        std::string unit = mount_unit_name(card.mount_point);
        stop_unit(unit);
        sdcard_log(LOG_INFO, "cleared systemd unit: %s", unit.c_str());
    }
    std::string automount = std::string(SDCARD_AUTOMOUNT_BASE) + "/" +
                            (recovery.volume_label.empty() ? default_label : recovery.volume_label) + "-" +
                            SDCARD_DEVICE_MATCH + "p1";
    stop_unit(mount_unit_name(automount));
}

std::string read_label()
{
    std::string output;
    std::string command = shell_quote(board_path("/sbin/blkid")) + " -s LABEL -o value " +
                          shell_quote(card_partition) + " 2>/dev/null";
    if (read_command(command, output, 4096, child_limit::blkid) == -1)
        output.clear();
    return sdcard_label_from(output);
}

// Waits for the table to show the card at MOUNT_PATH: systemd-mount --no-block only
// queues the mount. The first pause always runs; the rest ends early on stop.
bool wait_for_card_mount(const std::string &mount_path)
{
    std::this_thread::sleep_for(recovery.timing.mount_settle);
    auto deadline = std::chrono::steady_clock::now() + recovery.timing.mount_deadline;
    for (;;) {
        if (sdcard_is_card_mount_point(mount_path))
            return true;
        if (std::chrono::steady_clock::now() >= deadline || !pause_unless_stopped(std::chrono::milliseconds(250)))
            return sdcard_is_card_mount_point(mount_path);
    }
}

enum class remount_result { mounted, pending, failed };

// True while systemd still works on the mount at MOUNT_PATH: a job of its mount unit or of
// the file-system check of the card's partition is queued or running, or either unit is
// activating. systemd-mount checks the file system before it mounts, and on a large,
// dirty card that check outlasts any fixed wait. Unit names are matched whole, never as
// patterns (a label's escapes hold backslashes).
bool mount_job_running(const std::string &mount_path)
{
    const std::string units[] = {mount_unit_name(mount_path), "systemd-fsck@" + unit_body(card_partition) + ".service"};
    std::string states;
    read_command("systemctl is-active " + shell_quote(units[0]) + " " + shell_quote(units[1]) + " 2>/dev/null", states, 4096,
                 child_limit::systemctl);
    for (const std::string &line : split_lines(states)) {
        if (line == "activating")
            return true;
    }
    std::string jobs;
    read_command("systemctl list-jobs --no-legend --no-pager --full 2>/dev/null", jobs, 64 * 1024, child_limit::systemctl);
    for (const std::string &line : split_lines(jobs)) {
        std::string_view unit = word_at(line, 1);  // "JOB UNIT TYPE STATE"
        if (unit == units[0] || unit == units[1])
            return true;
    }
    return false;
}

// The new mount answers: the remount has succeeded.
remount_result verify_mount(const std::string &mount_path)
{
    struct statvfs stats {};
    if (statvfs(board_path(mount_path).c_str(), &stats) != 0) {
        sdcard_log(LOG_WARNING, "statvfs verify failed: %s", std::strerror(errno));
        return remount_result::failed;
    }
    sdcard_log(LOG_INFO, "mounted %s to %s (%llu KB)", card_partition, mount_path.c_str(),
               static_cast<unsigned long long>(size_kib(stats)));
    sdcard_log(LOG_INFO, "recovery successful");
    return remount_result::mounted;
}

// Where a mount that has not (yet) shown up at MOUNT_PATH stands. The job is asked before
// the table, so a job that ends in between has already put its mount there.
remount_result mount_outcome(const std::string &mount_path, bool first_look)
{
    bool running = mount_job_running(mount_path);
    if (sdcard_is_card_mount_point(mount_path))
        return verify_mount(mount_path);
    if (running) {
        if (first_look)
            sdcard_log(LOG_INFO, "mount at %s pending: systemd is still checking or mounting the file system",
                       mount_path.c_str());
        return remount_result::pending;
    }
    sdcard_log(LOG_WARNING, "mount did not appear at %s", mount_path.c_str());
    return remount_result::failed;
}

remount_result remount_attempt()
{
    sdcard_clear_units();
    sdcard_unmount_all();
    sdcard_clear_units();

    std::string label = read_label();
    recovery.volume_label = label;
    std::string mount_path = std::string(SDCARD_MOUNT_BASE) + "/" + label;
    recovery.remount_path = mount_path;
    stop_unit(mount_unit_name(mount_path));

    std::string local_path = board_path(mount_path);
    mkdir(local_path.c_str(), 0755);
    // A symbolic link planted at the mount point would carry the mount elsewhere.
    struct stat info {};
    if (lstat(local_path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        sdcard_log(LOG_WARNING, "mount point %s is not a directory", mount_path.c_str());
        return remount_result::failed;
    }

    int status = run_command("systemd-mount --no-block -o umask=007,gid=6 -t auto " + shell_quote(card_partition) +
                             " " + shell_quote(mount_path) + " 2>&1", child_limit::systemd_mount);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        sdcard_log(LOG_WARNING, "systemd-mount failed (exit %d)", exit_code_of(status));
        return remount_result::failed;
    }
    // A directory that is not (yet) a mount point would pass statvfs with the statistics
    // of the file system below it, so success also needs the card in the mount table.
    if (wait_for_card_mount(mount_path))
        return verify_mount(mount_path);
    return mount_outcome(mount_path, true);
}

void act_mounted()
{
    int health = sdcard_health_check();
    if (health == HEALTH_OK)
        return;
    if (health == HEALTH_NO_MOUNT) {
        sdcard_log(LOG_WARNING, "mount disappeared, card may have been removed");
        if (recovery.eject_hold.load())
            sdcard_log(LOG_INFO, "card ejected: it stays unmounted until it is taken out of its slot");
        set_state(UNBOUND);
        led_off(LED_STORAGE);
        return;
    }
    sdcard_log(LOG_WARNING, "health check failed: %d", health);
    set_state(DEGRADED);
    led_blink(LED_STORAGE, 1);
}

void act_degraded()
{
    sdcard_unmount_all();
    sdcard_clear_units();
    // An ejected card is not reset: the hold ends when its device goes, and an unbind
    // would take the device away while the card is still in its slot.
    if (!recovery.eject_hold.load())
        mmc_unbind();
    set_state(UNBOUND);
    led_off(LED_STORAGE);
}

void enter_remounting(const char *how)
{
    sdcard_log(LOG_WARNING, "%s", how);
    recovery.remount_failures = 0;
    set_state(REMOUNTING);
    led_blink(LED_STORAGE, 1);
}

void act_unbound()
{
    if (recovery.eject_hold.load())
        return;
    if (card_probe()) {
        enter_remounting("card detected (auto-bound by kernel)");
        return;
    }
    switch (mmc_bind_and_probe()) {
    case bind_result::card_present:
        enter_remounting("card detected after bind");
        break;
    case bind_result::card_silent:
        mmc_unbind();
        break;
    default:
        break;
    }
}

// An eject came while a remount was under way: whatever the remount mounted or queued is
// taken down again, and the card waits unmounted.
void abandon_remount()
{
    sdcard_log(LOG_INFO, "remount abandoned: the card was ejected");
    if (recovery.remount_pending)
        stop_unit(mount_unit_name(recovery.remount_path));
    sdcard_clear_units();
    sdcard_unmount_all();
    recovery.remount_pending = false;
    recovery.remount_failures = 0;
    set_state(UNBOUND);
    led_off(LED_STORAGE);
}

void act_remounting()
{
    if (recovery.eject_hold.load()) {
        abandon_remount();
        return;
    }
    remount_result result =
        recovery.remount_pending ? mount_outcome(recovery.remount_path, false) : remount_attempt();
    if (recovery.eject_hold.load()) {
        abandon_remount();
        return;
    }
    // A pending mount is no failed attempt, and the card is never unbound under it.
    recovery.remount_pending = result == remount_result::pending;
    if (result == remount_result::pending)
        return;
    if (result == remount_result::mounted) {
        recovery.remount_failures = 0;
        notify_send("sdcard_recovered", nullptr);
        counter_add(COUNTER_RECOVERY_SDCARD);
        set_state(MOUNTED);
        led_on(LED_STORAGE);
        return;
    }
    ++recovery.remount_failures;
    sdcard_log(LOG_WARNING, "remount attempt %d/%d failed", recovery.remount_failures, max_remount_failures);
    if (recovery.remount_failures >= max_remount_failures) {
        sdcard_log(LOG_WARNING, "max retries reached, unbinding");
        mmc_unbind();
        recovery.remount_failures = 0;
        set_state(UNBOUND);
        led_off(LED_STORAGE);
    }
}

void *sdcard_recovery_thread(void *)
{
    thread_name("sdcard-recover");
    watchdog_beat(WATCHDOG_SDCARD_RECOVERY);
    sdcard_log(LOG_INFO, "recovery thread started (poll=%llds)",
               static_cast<long long>(recovery.timing.poll.count() / 1000));
    mmc_find_address();
    sdcard_log(LOG_INFO, "MMC address: %s", recovery.mmc_address.empty() ? "(not found)" : recovery.mmc_address.c_str());
    // The LED is only written when it shows something else (it starts dark), so a card
    // absent at start-up leaves the LED files alone.
    if (sdcard_health_check() == HEALTH_OK) {
        recovery.recovery_state.store(MOUNTED);
        if (led_get_mode(LED_STORAGE) != LED_MODE_ON)
            led_on(LED_STORAGE);
    } else {
        recovery.recovery_state.store(UNBOUND);
        if (led_get_mode(LED_STORAGE) != LED_MODE_OFF)
            led_off(LED_STORAGE);
    }
    sdcard_log(LOG_INFO, "initial state: %s", state_names[recovery.recovery_state.load()]);

    while (recovery.recovery_running.load() != 0) {
        watchdog_beat(WATCHDOG_SDCARD_RECOVERY);
        if (!pause_for_poll())
            break;
        {
            std::lock_guard guard(recovery.wake_lock);
            ++recovery.passes_begun;
        }
        release_hold_if_card_out();
        switch (recovery.recovery_state.load()) {
        case MOUNTED:
            act_mounted();
            break;
        case DEGRADED:
            act_degraded();
            break;
        case UNBOUND:
            act_unbound();
            break;
        default:
            act_remounting();
            break;
        }
        {
            std::lock_guard guard(recovery.wake_lock);
            recovery.passes_done = recovery.passes_begun;
        }
        recovery.pass_done.notify_all();
    }
    {
        std::lock_guard guard(recovery.wake_lock);
        recovery.passes_done = recovery.passes_begun;
    }
    recovery.pass_done.notify_all();
    sdcard_log(LOG_INFO, "recovery thread stopped");
    return nullptr;
}

}  // namespace

int sdcard_recovery_init()
{
    remember_address("");
    recovery.volume_label.clear();
    recovery.recovery_state.store(MOUNTED);
    recovery.remount_pending = false;
    sdcard_recovery_set_eject_hold(false);
    {
        std::lock_guard guard(recovery.wake_lock);
        recovery.poked = false;
    }
    return 0;
}

int sdcard_recovery_start()
{
    if (recovery.recovery_running.load() != 0)
        return 0;
    recovery.recovery_running.store(1);
    if (pthread_create(&recovery.thread, nullptr, sdcard_recovery_thread, nullptr) != 0) {
        recovery.recovery_running.store(0);
        sdcard_log(LOG_WARNING, "failed to create recovery thread");
        return -1;
    }
    return 0;
}

void sdcard_recovery_stop()
{
    if (recovery.recovery_running.load() == 0)
        return;
    {
        // Cleared under the lock, so the thread cannot miss the wake between its check
        // and its wait.
        std::lock_guard guard(recovery.wake_lock);
        recovery.recovery_running.store(0);
    }
    recovery.wake.notify_all();
    pthread_join(recovery.thread, nullptr);
}

void sdcard_recovery_cleanup() { sdcard_recovery_stop(); }

int sdcard_health_check()
{
    mount_entry card;
    if (!sdcard_find_mount(card))
        return HEALTH_NO_MOUNT;
    // The option "ro" itself; "rootcontext=" or "errors=remount-ro" are no read-only mount.
    if (mount_is_read_only(card.options)) {
        sdcard_log(LOG_WARNING, "mount is read-only (options: %s)", card.options.c_str());
        return HEALTH_READ_ONLY;
    }
    std::string local_path = board_path(card.mount_point);
    struct statvfs stats {};
    if (statvfs(local_path.c_str(), &stats) != 0) {
        int error = errno;
        sdcard_log(LOG_WARNING, "statvfs failed: %s (errno=%d)", std::strerror(error), error);
        return HEALTH_IO_ERROR;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(local_path.c_str()), closedir);
    if (!dir) {
        sdcard_log(LOG_WARNING, "opendir(%s) failed: %s", card.mount_point.c_str(), std::strerror(errno));
        return HEALTH_IO_ERROR;
    }
    errno = 0;
    if (readdir(dir.get()) == nullptr && errno != 0) {
        sdcard_log(LOG_WARNING, "readdir failed: %s", std::strerror(errno));
        return HEALTH_IO_ERROR;
    }
    return HEALTH_OK;
}

std::string mount_unit_name(std::string_view path)
{
    if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    static const char hex[] = "0123456789abcdef";
    std::string unit;
    for (std::size_t i = 0; i < path.size() && unit.size() < max_unit_body; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
                     c == '_' || (c == '.' && i != 0);
        if (c == '/') {
            unit += '-';
        } else if (plain) {
            unit += static_cast<char>(c);
        } else {
            unit += "\\x";
            unit += hex[c >> 4];
            unit += hex[c & 0xf];
        }
    }
    return unit + ".mount";
}

std::string sdcard_label_from(std::string_view blkid_output)
{
    std::string_view label = blkid_output.substr(0, blkid_output.find_first_of("\r\n"));
    label = label.substr(0, max_label_length);
    // A leading dot would hide the label's directory and cover one of the home's own
    // (".ssh" with the keys, ".config"); "." and ".." are among them.
    bool usable = !label.empty() && label.front() != '.';
    for (char c : label) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7f)
            usable = false;
    }
    return usable ? std::string(label) : std::string(fallback_label);
}

unsigned sdcard_recovery_get_state() { return recovery.recovery_state.load(); }

void sdcard_recovery_set_timing(const sdcard_recovery_timing &timing) { recovery.timing = timing; }

void sdcard_recovery_set_eject_hold(bool hold)
{
    std::lock_guard guard(recovery.hold_lock);
    // The watch starts with the hold, before the eject tells anyone the card may go.
    if (hold && !recovery.eject_hold.load())
        recovery.hold_fresh = true;
    if (hold && recovery.hold_events < 0)
        open_hold_watch_locked();
    if (!hold)
        close_hold_watch_locked();
    recovery.eject_hold.store(hold);
}

bool sdcard_recovery_settle_hold(std::chrono::milliseconds limit)
{
    std::unique_lock lock(recovery.wake_lock);
    if (recovery.recovery_running.load() != 0) {
        const unsigned long target = recovery.passes_begun + 1;
        recovery.poked = true;
        recovery.wake.notify_all();
        const bool passed = recovery.pass_done.wait_for(lock, limit, [target] {
            return recovery.passes_done >= target || recovery.recovery_running.load() == 0;
        });
        if (!passed)
            return false;
    }
    return true;
}

bool sdcard_recovery_card_in_slot() { return !card_device_gone(); }

void sdcard_recovery_poll_now()
{
    {
        std::lock_guard guard(recovery.wake_lock);
        recovery.poked = true;
    }
    recovery.wake.notify_all();
}

bool sdcard_recovery_eject_held() { return recovery.eject_hold.load(); }
