#include "ctl_storage.h"
#include "counters.h"
#include "log.h"

#include "board_root.h"
#include "process.h"
#include "sdcard_mounts.h"
#include "sdcard_recovery.h"
#include "tesmar_version.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Mount points handled by one eject or status request, so a table flooded with card
// mounts cannot hold a connection for ever: an eject counts the rest but leaves them
// mounted; a status request lists and sums them but asks fuser about these first ones only.
constexpr std::size_t max_handled_mounts = 16;
// Longest text in the status record's two lists (96-byte fields).
constexpr std::size_t max_list_chars = 95;
// One line of fuser's output, as far as it is read.
constexpr std::size_t max_fuser_line = 255;
// Lets the killed processes go before their file systems are detached.
constexpr auto kill_settle = std::chrono::milliseconds(300);
// How long an eject waits for a recovery step under way (a remount: its systemctl and
// systemd-mount calls) to see the hold; the client waits 30 s for its answer.
constexpr auto recovery_settle_limit = std::chrono::seconds(20);

// The eject lines belong in the system log; on a console a copy shows there too. Under
// the journal, or once detached, each is logged once.
__attribute__((format(printf, 2, 3))) void eject_log(int priority, const char *format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    log_syslog_too(priority, "%s", message);
}

std::size_t generic_ok(ctl_reply &reply)
{
    reply.generic.status = STATUS_OK;
    return sizeof(ControlReply);
}

// fuser writes the ids of the processes using the mount at PATH on standard output.
// A pipe that cannot be started leaves OUTPUT empty, so that mount adds no process.
std::string fuser_output(const std::string &mount_point)
{
    std::string output;
    read_command("fuser -m " + shell_quote(mount_point) + " 2>/dev/null", output, 64 * 1024, child_limit::fuser);
    return output;
}

// The first number in the file at PATH (as "%ld" reads it); false when it does not open.
bool read_number(const std::string &path, long &value)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    char text[64];
    ssize_t n = read(fd.get(), text, sizeof text - 1);
    if (n <= 0)
        return true;
    const char *at = text;
    const char *end = text + n;
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\n'))
        ++at;
    if (at < end && *at == '+')
        ++at;
    // A number beyond the range reads as the nearest end of it, never as some other value.
    auto [stop, error] = std::from_chars(at, end, value);
    if (error == std::errc::result_out_of_range)
        value = *at == '-' ? std::numeric_limits<long>::min() : std::numeric_limits<long>::max();
    (void)stop;
    return true;
}

// The first line of the file at PATH, at most MAX characters.
std::string first_line(const std::string &path, std::size_t max)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    std::string text(max, '\0');
    ssize_t n = read(fd.get(), text.data(), max);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text.substr(0, text.find('\n'));
}

// Appends PIECE to LIST, comma-separated, when the result stays within the field.
void append_listed(std::string &list, std::string_view piece)
{
    if (list.empty()) {
        list = piece.substr(0, max_list_chars);
    } else if (list.size() + piece.size() + 2 <= max_list_chars) {
        list += ',';
        list += piece;
    }
}

// The card mounts in the table: FOUND of them, the first max_handled_mounts in MOUNTS.
// False when the table cannot be read.
bool card_mounts(int &found, std::vector<std::string> &mounts)
{
    found = 0;
    mounts.clear();
    std::vector<mount_entry> entries;
    if (!sdcard_read_mounts(entries))
        return false;
    for (const mount_entry &entry : entries) {
        if (!sdcard_is_card_mount(entry))
            continue;
        ++found;
        if (mounts.size() < max_handled_mounts)
            mounts.push_back(entry.mount_point);
    }
    return true;
}

}  // namespace

std::vector<std::string> ctl_fuser_pids(std::string_view output)
{
    std::vector<std::string> pids;
    while (!output.empty()) {
        std::size_t start = output.find_first_not_of(" \t\n");
        if (start == std::string_view::npos)
            break;
        output.remove_prefix(start);
        std::string_view word = output.substr(0, output.find_first_of(" \t\n"));
        if (word.find_first_not_of("0123456789") == std::string_view::npos)
            pids.emplace_back(word);
        output.remove_prefix(word.size());
    }
    return pids;
}

namespace {

// The switch's own outcome goes back to the client, which would otherwise report a
// service that failed to start (or to stop) as switched.
std::size_t rtty_switch(const char *command, ctl_reply &reply)
{
    reply.generic.status = run_command(command, child_limit::systemctl) == 0 ? STATUS_OK : STATUS_FAILED;
    return sizeof(ControlReply);
}

}  // namespace

std::size_t ctl_rtty_on(const ControlRequest &, ctl_reply &reply)
{
    return rtty_switch("systemctl enable rtty && systemctl start rtty", reply);
}

std::size_t ctl_rtty_off(const ControlRequest &, ctl_reply &reply)
{
    return rtty_switch("systemctl stop rtty && systemctl disable rtty", reply);
}

std::size_t ctl_rtty_status(const ControlRequest &, ctl_reply &reply)
{
    reply.generic.data[0] = run_command("systemctl is-active --quiet rtty", child_limit::systemctl) == 0 ? 1 : 0;
    return generic_ok(reply);
}

bool ctl_version_text(const char *revision, const char *date, VersionText &out)
{
    char text[64];
    int length = std::snprintf(text, sizeof text, "v%s git:%s built:%s", VERSION_NUMBER, revision, date);
    if (length != static_cast<int>(sizeof out.text))
        return false;
    std::memcpy(out.text, text, sizeof out.text);
    return true;
}

// The build writes a seven-character revision and a YYYY-MM-DD date, whatever git says.
static_assert(sizeof(TESMAR_VERSION_GIT) == 8 && sizeof(TESMAR_VERSION_DATE) == 11);

std::size_t ctl_version(const ControlRequest &, ctl_reply &reply)
{
    ctl_version_text(TESMAR_VERSION_GIT, TESMAR_VERSION_DATE, reply.version);
    return sizeof(VersionText);
}

void ctl_ina236_values(long bus_mv, long current_ma, long power_uw, Ina236Reply &out)
{
    // Each reading is held to its field's range: cut to its low bits, a current of
    // -150 mA or a voltage just past 65.5 V would read as a wildly different number.
    out.bus_mv = static_cast<std::uint16_t>(std::clamp<long>(bus_mv, 0, UINT16_MAX));
    out.current_ma = static_cast<std::int16_t>(std::clamp<long>(current_ma, INT16_MIN, INT16_MAX));
    out.power_uw = static_cast<std::uint32_t>(std::clamp<long long>(power_uw, 0, UINT32_MAX));
}

std::size_t ctl_read_ina236(const ControlRequest &, ctl_reply &reply)
{
    long bus_mv = 0, current_ma = 0, power_uw = 0;
    bool found = false;
    std::string hwmon = board_path("/sys/class/hwmon");
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(hwmon.c_str()), closedir);
    if (dir) {
        while (dirent *entry = readdir(dir.get())) {
            if (entry->d_name[0] == '.')
                continue;
            std::string device = hwmon + "/" + entry->d_name;
            if (first_line(device + "/name", 31).compare(0, 6, "ina236") != 0)
                continue;
            found = read_number(device + "/in1_input", bus_mv);
            read_number(device + "/curr1_input", current_ma);
            read_number(device + "/power1_input", power_uw);
            if (found)
                break;
        }
    }
    if (!found) {
        reply.ina236.status = STATUS_FAILED;
        return sizeof(Ina236Reply);
    }
    reply.ina236.status = STATUS_OK;
    ctl_ina236_values(bus_mv, current_ma, power_uw, reply.ina236);
    return sizeof(Ina236Reply);
}

std::size_t ctl_sdcard_remove(const ControlRequest &, ctl_reply &reply)
{
    SdCardRemoveReply &out = reply.sdcard_remove;
    out.status = STATUS_OK;
    out.result = SDCARD_REMOVE_NONE;

    int found = 0;
    std::vector<std::string> mounts;
    if (!card_mounts(found, mounts))
        return sizeof(SdCardRemoveReply);
    bool held_before = sdcard_recovery_eject_held();
    if (found == 0) {
        // Unmounted while in its slot (the recovery checking, resetting or remounting it):
        // the card would be mounted again seconds later, under the hands of someone told
        // there was nothing to remove. It is held unmounted instead.
        if (!sdcard_recovery_card_in_slot()) {
            eject_log(LOG_INFO, "SDCARD: No SD card to remove");
            return sizeof(SdCardRemoveReply);
        }
        sdcard_recovery_set_eject_hold(true);
        if (!sdcard_recovery_settle_hold(recovery_settle_limit)) {
            eject_log(LOG_ERR, "SDCARD: Card not mounted, but its recovery is still under way");
            out.result = SDCARD_REMOVE_PARTIAL;
            return sizeof(SdCardRemoveReply);
        }
        // A remount that finished before the hold was seen has been taken down again by
        // the recovery; anything still mounted is ejected as usual.
        if (!card_mounts(found, mounts))
            return sizeof(SdCardRemoveReply);
        if (found == 0) {
            eject_log(LOG_INFO, "SDCARD: Card not mounted: it stays so until taken out, safe to remove");
            out.result = SDCARD_REMOVE_OK;
            return sizeof(SdCardRemoveReply);
        }
    }
    // From here the recovery starts no remount, so none can race the unmounts below.
    sdcard_recovery_set_eject_hold(true);

    // A process using two card mounts is one process.
    std::set<std::string> users_seen;
    for (const std::string &mount_point : mounts) {
        for (std::string &pid : ctl_fuser_pids(fuser_output(mount_point)))
            users_seen.insert(std::move(pid));
        // fuser -k on a directory that is no longer a mount point (the recovery thread
        // may have unmounted it meanwhile) would kill every user of the file system
        // below it, so the table is asked again right before. (fuser's own -M check
        // cannot be used: it misreads mount points with escaped characters.)
        if (sdcard_is_card_mount_point(mount_point))
            run_command("fuser -km " + shell_quote(mount_point) + " 2>/dev/null", child_limit::fuser);
        eject_log(LOG_INFO, "SDCARD: Killed processes on %s", mount_point.c_str());
    }

    int killed = static_cast<int>(users_seen.size());

    std::this_thread::sleep_for(kill_settle);

    std::vector<int> umount_status;
    for (const std::string &mount_point : mounts)
        umount_status.push_back(run_command("umount -l " + shell_quote(mount_point) + " 2>/dev/null", child_limit::umount));
    // An unmount counts only once its mount has left the table: umount can succeed and
    // leave a mount stacked below, and a card pulled while one remains is pulled mounted.
    std::vector<mount_entry> remaining = sdcard_card_mounts();
    int unmounted = 0;
    for (std::size_t i = 0; i < mounts.size(); ++i) {
        const std::string &mount_point = mounts[i];
        bool gone = std::none_of(remaining.begin(), remaining.end(),
                                 [&](const mount_entry &entry) { return entry.mount_point == mount_point; });
        if (umount_status[i] == 0 && gone) {
            eject_log(LOG_INFO, "SDCARD: Lazy-unmounted %s", mount_point.c_str());
            ++unmounted;
        } else {
            eject_log(LOG_ERR, "SDCARD: Failed to unmount %s", mount_point.c_str());
        }
        rmdir(board_path(mount_point).c_str());
    }
    run_command("rm -f /tmp/.automount-homepi-* 2>/dev/null", child_limit::rm);

    // Only a card whose mounts are all gone stays unmounted; otherwise the recovery keeps
    // looking after it as before.
    if (unmounted == found)
        sdcard_recovery_poll_now();
    else if (!held_before)
        sdcard_recovery_set_eject_hold(false);

    counter_add(COUNTER_EJECT_SDCARD);
    out.result = unmounted == found ? SDCARD_REMOVE_OK : SDCARD_REMOVE_PARTIAL;
    out.found = static_cast<std::uint8_t>(found);
    out.unmounted = static_cast<std::uint8_t>(unmounted);
    out.killed = static_cast<std::uint8_t>(killed > 255 ? 255 : killed);
    eject_log(LOG_INFO, "SDCARD: Remove complete \u2014 %d/%d unmounted, %d processes killed", unmounted, found,
              killed);
    return sizeof(SdCardRemoveReply);
}

std::size_t ctl_sdcard_status(const ControlRequest &, ctl_reply &reply)
{
    SdCardStatusRecord &record = reply.sdcard_status;
    record.version = SDCARD_STATUS_VERSION;
    record.status = 1;

    std::vector<mount_entry> entries;
    if (!sdcard_read_mounts(entries))
        return sizeof(SdCardStatusRecord);
    unsigned n = 0;
    std::uint64_t total = 0, free = 0;
    std::uint32_t processes = 0;
    std::string mount_list, process_list;
    for (const mount_entry &entry : entries) {
        if (!sdcard_is_card_mount(entry))
            continue;
        struct statvfs stats {};
        if (statvfs(board_path(entry.mount_point).c_str(), &stats) == 0) {
            total += (static_cast<std::uint64_t>(stats.f_frsize) * stats.f_blocks) >> 10;
            free += (static_cast<std::uint64_t>(stats.f_frsize) * stats.f_bfree) >> 10;
        }
        append_listed(mount_list, entry.mount_point);
        if (n >= max_handled_mounts) {
            ++n;
            continue;
        }

        std::string users = fuser_output(entry.mount_point);
        std::string_view line(users);
        line = line.substr(0, line.find('\n') == std::string_view::npos ? line.size() : line.find('\n') + 1);
        line = line.substr(0, max_fuser_line);
        while (!line.empty()) {
            std::size_t start = line.find_first_not_of(" \t\n");
            if (start == std::string_view::npos)
                break;
            line.remove_prefix(start);
            std::size_t end = line.find_first_of(" \t\n");
            std::string_view pid = line.substr(0, end);
            ++processes;
            if (process_list.size() + pid.size() + 2 <= max_list_chars) {
                if (!process_list.empty())
                    process_list += ',';
                process_list += pid;
            }
            line.remove_prefix(pid.size());
        }
        ++n;
    }
    if (n == 0)
        return sizeof(SdCardStatusRecord);
    record.status = 0;
    record.partitions = static_cast<std::uint8_t>(n);
    record.total_kib = total;
    record.free_kib = free;
    record.process_count = processes;
    std::memcpy(record.mounts, mount_list.data(), mount_list.size());
    std::memcpy(record.processes, process_list.data(), process_list.size());
    return sizeof(SdCardStatusRecord);
}
