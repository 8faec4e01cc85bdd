// The system snapshot (CMD_SYSINFO) and the battery level (CMD_BATTERY): gathered afresh
// from procfs, sysfs and the system queries on every request, in the connection thread.
// Nothing fails a request: whatever cannot be read keeps its initial value.
#pragma once

#include "ctl_protocol.h"
#include "mount_table.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Fills RECORD (every byte is overwritten) with the board's snapshot.
void ctl_collect_sysinfo(SysInfoRecord &record);

// Capacity of the first battery supply in "/sys/class/power_supply", 0 to 100, or
// BATTERY_NA when there is none or its capacity cannot be read.
std::uint8_t ctl_read_battery();

// The first IPv4 address and netmask of interface NAME, in network byte order; both 0
// when it has none. -1 when the interface list cannot be obtained, else 0.
int ctl_iface_ipv4(const char *name, std::uint32_t &address, std::uint32_t &netmask);

// The pure steps, for their tests.

// A thermal reading in millidegrees as tenths of a degree, truncated toward zero and held
// to the field's range.
std::int16_t sysinfo_temperature_tenths(long millidegrees);
// A battery capacity as the reply carries it: held to 0 to 100.
std::uint8_t sysinfo_battery_percent(int capacity);
// A load figure with 16 fraction bits, times 100, truncated.
std::uint32_t sysinfo_load_x100(unsigned long load);
// The "MemAvailable:" figure of a meminfo text, in KiB; 0 for a negative one.
std::optional<std::uint64_t> sysinfo_mem_available(std::string_view meminfo);
// The mount point the SD figures measure: the deepest card mount under HOME/ (the later
// one among equals), else a card mount at HOME; empty when there is none.
// HOME is the directory the card is mounted in (the configured one on the board).
std::string sysinfo_sd_mount(const std::vector<mount_entry> &mounts, std::string_view home = "/home/pi");
// The default-route code of a route table's text ("/proc/net/route"): the interface of the
// first line whose destination is 0, or ROUTE_NONE.
// WWAN is the 4G interface's kernel name (the configured one on the board).
std::uint8_t sysinfo_default_route(std::string_view route_table, std::string_view wwan = "wwu1u2i4");
