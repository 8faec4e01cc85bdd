#include "ctl_sysinfo.h"

#include "board_root.h"
#include "config.h"

#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <utility>

namespace {

struct file_closer {
    void operator()(FILE *file) const { fclose(file); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

struct ifaddrs_freer {
    void operator()(ifaddrs *list) const { freeifaddrs(list); }
};

unique_file open_board_file(std::string_view path)
{
    return unique_file(fopen(board_path(path).c_str(), "re"));
}

// The whole of a small board file; empty when it cannot be read.
std::string read_board_file(std::string_view path)
{
    std::string text;
    unique_file file = open_board_file(path);
    if (!file)
        return text;
    char chunk[4096];
    std::size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, n);
    return text;
}

// The lines of TEXT, without their newlines.
template <typename Visit>
void for_each_line(std::string_view text, Visit visit)
{
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        if (!visit(text.substr(0, end)))
            return;
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

void read_temperature(SysInfoRecord &record)
{
    unique_file file = open_board_file("/sys/class/thermal/thermal_zone0/temp");
    long millidegrees = 0;
    if (file && fscanf(file.get(), "%ld", &millidegrees) == 1)
        record.cpu_temp = sysinfo_temperature_tenths(millidegrees);
}

void read_system_query(SysInfoRecord &record)
{
    struct sysinfo info {};
    if (sysinfo(&info) != 0)
        return;
    std::uint64_t unit = info.mem_unit;
    record.mem_total_kib = (static_cast<std::uint64_t>(info.totalram) * unit) >> 10;
    record.mem_avail_kib = (static_cast<std::uint64_t>(info.freeram) * unit) >> 10;
    record.uptime_s = static_cast<std::uint64_t>(info.uptime);
    record.load1_x100 = sysinfo_load_x100(info.loads[0]);
    record.load5_x100 = sysinfo_load_x100(info.loads[1]);
    record.load15_x100 = sysinfo_load_x100(info.loads[2]);
}

void read_sd_usage(SysInfoRecord &record)
{
    std::string mount_point = sysinfo_sd_mount(read_mounts(), config().card_mount_dir);
    struct statvfs fs {};
    if (mount_point.empty() || statvfs(board_path(mount_point).c_str(), &fs) != 0)
        return;
    record.sd_total_kib = (static_cast<std::uint64_t>(fs.f_frsize) * fs.f_blocks) >> 10;
    record.sd_free_kib = (static_cast<std::uint64_t>(fs.f_frsize) * fs.f_bfree) >> 10;
}

struct interface_fields {
    const char *name;
    std::uint32_t SysInfoRecord::*address;
    std::uint32_t SysInfoRecord::*netmask;
};

void read_interfaces(SysInfoRecord &record)
{
    // The 4G interface is looked up under its kernel name and reported as wwan.
    const interface_fields interfaces[] = {
        {"end1", &SysInfoRecord::end1_addr, &SysInfoRecord::end1_mask},
        {"end2", &SysInfoRecord::end2_addr, &SysInfoRecord::end2_mask},
        {"wlan0", &SysInfoRecord::wlan0_addr, &SysInfoRecord::wlan0_mask},
        {config().wwan_interface.c_str(), &SysInfoRecord::wwan_addr, &SysInfoRecord::wwan_mask},
    };
    for (const interface_fields &i : interfaces) {
        // Through locals: the record is packed, so its fields cannot be bound to references.
        std::uint32_t address = 0, netmask = 0;
        ctl_iface_ipv4(i.name, address, netmask);
        record.*i.address = address;
        record.*i.netmask = netmask;
    }
}

}  // namespace

std::int16_t sysinfo_temperature_tenths(long millidegrees)
{
    // Held to the field's range: cut to 16 bits, 3276.8 degrees would read as -3276.8.
    return static_cast<std::int16_t>(std::clamp<long>(millidegrees / 100, INT16_MIN, INT16_MAX));
}

std::uint8_t sysinfo_battery_percent(int capacity)
{
    // A gauge past full (or below empty) is full (or empty), not its low 8 bits.
    return static_cast<std::uint8_t>(std::clamp(capacity, 0, 100));
}

std::uint32_t sysinfo_load_x100(unsigned long load)
{
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(load) * 100) >> 16);
}

std::optional<std::uint64_t> sysinfo_mem_available(std::string_view meminfo)
{
    std::optional<std::uint64_t> found;
    for_each_line(meminfo, [&](std::string_view line) {
        char text[128];
        std::size_t length = std::min(line.size(), sizeof text - 1);
        std::memcpy(text, line.data(), length);
        text[length] = '\0';
        std::uint64_t kib;
        int number_at = 0;
        if (std::sscanf(text, "MemAvailable: %n%" SCNu64 " kB", &number_at, &kib) == 1) {
            // "%lu" takes "-5" as 2^64 - 5; no memory available is 0.
            found = text[number_at] == '-' ? 0 : kib;
            return false;
        }
        return true;
    });
    return found;
}

std::string sysinfo_sd_mount(const std::vector<mount_entry> &mounts, std::string_view home)
{
    const std::string home_prefix = std::string(home) + "/";
    std::string chosen;
    int chosen_depth = -1;
    for (const mount_entry &entry : mounts) {
        if (entry.device.find("mmcblk0") == std::string::npos)
            continue;
        std::string_view point = entry.mount_point;
        if (point.starts_with(home_prefix)) {
            int depth = 0;
            for (char c : point.substr(home_prefix.size()))
                depth += c == '/';
            if (depth >= chosen_depth) {
                chosen = entry.mount_point;
                chosen_depth = depth;
            }
        } else if (point == home && chosen.empty()) {
            chosen = entry.mount_point;
            chosen_depth = 0;
        }
    }
    return chosen;
}

std::uint8_t sysinfo_default_route(std::string_view route_table, std::string_view wwan)
{
    const std::pair<std::string_view, std::uint8_t> routes[] = {
        {"end1", ROUTE_END1}, {"end2", ROUTE_END2}, {"wlan0", ROUTE_WLAN0}, {wwan, ROUTE_WWAN}};
    std::uint8_t route = ROUTE_NONE;
    bool header = true;
    for_each_line(route_table, [&](std::string_view line) {
        if (std::exchange(header, false))
            return true;
        char text[256];
        std::size_t length = std::min(line.size(), sizeof text - 1);
        std::memcpy(text, line.data(), length);
        text[length] = '\0';
        char name[32];
        unsigned destination;
        if (std::sscanf(text, "%31s %x", name, &destination) < 2 || destination != 0)
            return true;
        for (const auto &[interface, code] : routes) {
            if (interface == name)
                route = code;
        }
        return false;
    });
    return route;
}

int ctl_iface_ipv4(const char *name, std::uint32_t &address, std::uint32_t &netmask)
{
    address = 0;
    netmask = 0;
    ifaddrs *raw = nullptr;
    if (getifaddrs(&raw) != 0)
        return -1;
    std::unique_ptr<ifaddrs, ifaddrs_freer> list(raw);
    for (ifaddrs *entry = raw; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || entry->ifa_name == nullptr ||
            std::strcmp(entry->ifa_name, name) != 0)
            continue;
        sockaddr_in in;
        std::memcpy(&in, entry->ifa_addr, sizeof in);
        address = in.sin_addr.s_addr;
        if (entry->ifa_netmask != nullptr) {
            std::memcpy(&in, entry->ifa_netmask, sizeof in);
            netmask = in.sin_addr.s_addr;
        }
        break;
    }
    return 0;
}

std::uint8_t ctl_read_battery()
{
    unique_dir dir(opendir(board_path("/sys/class/power_supply").c_str()));
    if (!dir)
        return BATTERY_NA;
    while (dirent *entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.')
            continue;
        std::string supply = std::string("/sys/class/power_supply/") + entry->d_name;
        unique_file type = open_board_file(supply + "/type");
        char line[32];
        if (!type || fgets(line, sizeof line, type.get()) == nullptr || std::strstr(line, "Battery") == nullptr)
            continue;
        // The first battery decides, even when its capacity cannot be read.
        unique_file capacity = open_board_file(supply + "/capacity");
        int percent;
        if (!capacity || fscanf(capacity.get(), "%d", &percent) != 1)
            return BATTERY_NA;
        return sysinfo_battery_percent(percent);
    }
    return BATTERY_NA;
}

void ctl_collect_sysinfo(SysInfoRecord &record)
{
    record = SysInfoRecord{};
    record.version = SYSINFO_VERSION;
    record.default_route = ROUTE_NONE;

    read_temperature(record);
    read_system_query(record);
    if (std::optional<std::uint64_t> available = sysinfo_mem_available(read_board_file("/proc/meminfo")))
        record.mem_avail_kib = *available;
    read_sd_usage(record);
    read_interfaces(record);
    record.default_route = sysinfo_default_route(read_board_file("/proc/net/route"), config().wwan_interface);
    record.battery_pct = ctl_read_battery();
    record.fixed_99 = SYSINFO_FIXED_99;
}
