#include "reports.h"

#include "board_facts.h"
#include "ctl_client.h"
#include "json.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// Positions are the power-source codes.
const char *const power_source_names[] = {"none", "external", "internal", "both", "unknown"};
// Positions are the LED mode codes.
const char *const led_mode_names[] = {"off", "on", "blink_slow", "blink_fast", "blink_custom"};
// Positions are the default-route codes.
const char *const route_names[] = {"end1", "end2", "wlan0", "wwan"};

constexpr unsigned long KIB_PER_M = 1024;
constexpr unsigned long KIB_PER_G = 1048576;
// Above this many KiB the reports switch from M to G.
constexpr std::uint64_t LARGEST_M_FORM_KIB = 1048575;
// Below this many KiB used, a G-sized disk shows the used amount in M as well.
constexpr std::uint64_t SMALLEST_USED_G_FORM_KIB = 104857;

const char *power_source_name(std::uint8_t code)
{
    // A code the daemon never sends is shown as unknown, never read past the table.
    return power_source_names[code < std::size(power_source_names) ? code : 4];
}

const char *led_mode_name(std::uint8_t code)
{
    return code < std::size(led_mode_names) ? led_mode_names[code] : "unknown";
}

// Whole units and the truncated tenth of the remainder.
unsigned long whole(std::uint64_t kib, unsigned long unit) { return static_cast<unsigned long>(kib / unit); }
unsigned long tenth(std::uint64_t kib, unsigned long unit)
{
    return static_cast<unsigned long>(((kib % unit) * 10) / unit);
}

// LABEL, then a text field that may come without its terminator (never read past its
// width), written safely for a terminal, then AFTER.
template <std::size_t N>
void print_field(const char *label, const char (&field)[N], const char *after = "\n")
{
    fputs(label, stdout);
    text_write_safe(stdout, field, N);
    fputs(after, stdout);
}

// The dotted form of an address in network byte order.
const char *dotted(std::uint32_t address, char (&out)[INET_ADDRSTRLEN])
{
    in_addr in{};
    in.s_addr = address;
    return inet_ntop(AF_INET, &in, out, sizeof out);
}

struct interface_field {
    const char *name;
    const char *sysinfo_format;  // the sysinfo line: address and prefix length
    std::uint32_t SysInfoRecord::*address;
    std::uint32_t SysInfoRecord::*mask;
};

const interface_field interfaces[] = {
    {"end1", "  end1:  %s/%d\n", &SysInfoRecord::end1_addr, &SysInfoRecord::end1_mask},
    {"end2", "  end2:  %s/%d\n", &SysInfoRecord::end2_addr, &SysInfoRecord::end2_mask},
    {"wlan0", "  wlan0: %s/%d\n", &SysInfoRecord::wlan0_addr, &SysInfoRecord::wlan0_mask},
    {"wwan", "  wwan:  %s/%d\n", &SysInfoRecord::wwan_addr, &SysInfoRecord::wwan_mask},
};

bool no_interface_up(const SysInfoRecord &record)
{
    for (const interface_field &i : interfaces) {
        if (record.*i.address != 0)
            return false;
    }
    return true;
}

// The short reply to CMD, or false when the exchange failed (its message is printed).
bool ask(std::uint8_t cmd, ControlReply &reply, std::uint8_t index = 0)
{
    return send_command(make_request(cmd, index), reply) == 0;
}

bool switch_on(std::uint8_t cmd)
{
    ControlReply reply;
    return ask(cmd, reply) && reply.status == STATUS_OK && reply.data[0] != 0;
}

// The system record for the overview: any failure only drops the block, silently.
bool fetch_sysinfo_quietly(SysInfoRecord &record)
{
    int fd = connect_and_send(make_request(CMD_SYSINFO));
    if (fd < 0)
        return false;
    return receive_once(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record) && record.status == 0;
}

void print_status_system_block(const SysInfoRecord &r)
{
    char temperature[16];
    format_temperature(temperature, sizeof temperature, r.cpu_temp);
    puts("\nSystem:");
    printf("  CPU:    %s°C\n", temperature);
    unsigned long s = r.uptime_s;
    if (r.uptime_s > 86399)
        printf("  Uptime: %lud %lu:%02lu\n", s / 86400, (s % 86400) / 3600, (s % 3600) / 60);
    else
        printf("  Uptime: %lu:%02lu\n", (s % 86400) / 3600, (s % 3600) / 60);
    printf("  Memory: %d%% used (%luM / %luM)\n", percent_used(r.mem_total_kib, r.mem_avail_kib),
           whole(r.mem_total_kib - r.mem_avail_kib, KIB_PER_M), whole(r.mem_total_kib, KIB_PER_M));
    if (r.sd_total_kib == 0)
        puts("  Disk:   N/A (SD card not mounted)");
    else
        printf("  Disk:   %d%% used (%luG free)\n", percent_used(r.sd_total_kib, r.sd_free_kib),
               whole(r.sd_free_kib, KIB_PER_G));
    printf("  Load:   %u.%02u %u.%02u %u.%02u\n", r.load1_x100 / 100, r.load1_x100 % 100, r.load5_x100 / 100,
           r.load5_x100 % 100, r.load15_x100 / 100, r.load15_x100 % 100);
    fputs("  Net:   ", stdout);
    char address[INET_ADDRSTRLEN];
    for (const interface_field &i : interfaces) {
        if (r.*i.address != 0)
            printf(" %s=%s", i.name, dotted(r.*i.address, address));
    }
    puts(no_interface_up(r) ? " (none)" : "");
    if (r.default_route < std::size(route_names))
        printf("  Route: %s\n", route_names[r.default_route]);
}

void print_memory(const SysInfoRecord &r)
{
    std::uint64_t used = r.mem_total_kib - r.mem_avail_kib;
    std::uint64_t total = r.mem_total_kib;
    int percent = percent_used(total, r.mem_avail_kib);
    if (total > LARGEST_M_FORM_KIB)
        printf("Memory:      %lu.%luM / %lu.%luG (%d%% used)\n", whole(used, KIB_PER_M), tenth(used, KIB_PER_M),
               whole(total, KIB_PER_G), tenth(total, KIB_PER_G), percent);
    else
        printf("Memory:      %lu.%luM / %lu.%luM (%d%% used)\n", whole(used, KIB_PER_M), tenth(used, KIB_PER_M),
               whole(total, KIB_PER_M), tenth(total, KIB_PER_M), percent);
}

void print_disk(const SysInfoRecord &r)
{
    std::uint64_t total = r.sd_total_kib;
    std::uint64_t used = total - r.sd_free_kib;
    int percent = percent_used(total, r.sd_free_kib);
    if (total == 0)
        puts("Disk (SD):   N/A (not mounted)");
    else if (total <= LARGEST_M_FORM_KIB)
        printf("Disk (SD):   %luM used / %luM total  (%d%%)\n", whole(used, KIB_PER_M), whole(total, KIB_PER_M),
               percent);
    else if (used >= SMALLEST_USED_G_FORM_KIB)
        printf("Disk (SD):   %lu.%luG used / %lu.%luG total  (%d%%)\n", whole(used, KIB_PER_G), tenth(used, KIB_PER_G),
               whole(total, KIB_PER_G), tenth(total, KIB_PER_G), percent);
    else
        printf("Disk (SD):   %lu.%luG (%luM used) / %lu.%luG  (%d%%)\n", whole(used, KIB_PER_G), tenth(used, KIB_PER_G),
               whole(used, KIB_PER_M), whole(total, KIB_PER_G), tenth(total, KIB_PER_G), percent);
}

const char *access_tech_name(std::uint8_t code)
{
    switch (code) {
    case 0:
        return "GSM";
    case 2:
        return "UMTS";
    case 7:
        return "LTE";
    default:
        return nullptr;
    }
}

const char *registration_name(std::uint8_t code)
{
    switch (code) {
    case 0:
        return "not registered";
    case 1:
        return "registered (home)";
    case 2:
        return "searching";
    case 5:
        return "registered (roaming)";
    default:
        return nullptr;
    }
}

int sdcard_remove()
{
    puts("Ejecting SD card...");
    ControlReply reply;
    if (send_command(make_request(CMD_SDCARD_REMOVE), reply) != 0) {
        if (!ctl_timed_out())
            puts("Failed to send remove request");
        return -1;
    }
    SdCardRemoveReply removed;
    static_assert(sizeof removed == sizeof reply);
    std::memcpy(&removed, &reply, sizeof removed);
    if (removed.status != STATUS_OK) {
        printf("Error: daemon returned status %d\n", removed.status);
        return -1;
    }
    switch (removed.result) {
    case SDCARD_REMOVE_OK:
        puts("SD card removed successfully.");
        printf("  Partitions unmounted: %d/%d\n", removed.unmounted, removed.found);
        printf("  Processes terminated: %d\n", removed.killed);
        return 0;
    case SDCARD_REMOVE_NONE:
        puts("No SD card found (nothing to remove).");
        return 0;
    case SDCARD_REMOVE_PARTIAL:
        printf("Partial failure: %d/%d partitions unmounted.\n", removed.unmounted, removed.found);
        puts("  Some mounts may still be active.");
        return -1;
    default:
        printf("Unknown result code: %d\n", removed.result);
        return -1;
    }
}

// Asks for the record of CMD and receives it whole; false, after the message saying why,
// when any step fails ("Invalid WHAT response ..." for a reply of the wrong size).
template <typename Record>
bool fetch_record(std::uint8_t cmd, const char *what, Record &r)
{
    int fd = connect_and_send(make_request(cmd));
    if (fd < 0) {
        ctl_report_exchange_failure(fd);
        return false;
    }
    ssize_t got = receive_record(fd, &r, sizeof r);
    if (got == static_cast<ssize_t>(sizeof r))
        return true;
    if (got != RECEIVE_TIMED_OUT && got != RECEIVE_ERROR_REPLY)
        fprintf(stderr, "Invalid %s response (got %zd, expected %zu)\n", what, got, sizeof r);
    return false;
}

int sdcard_status()
{
    SdCardStatusRecord r;
    if (!fetch_record(CMD_SDCARD_STATUS, "sdcard info", r))
        return -1;
    if (r.status != 0) {
        puts("SD Card: not inserted");
        return 0;
    }
    puts("=== SD Card Status ===");
    printf("Partitions:  %u\n", r.partitions);
    if (r.mounts[0] != '\0')
        print_field("Mounts:      ", r.mounts);
    else
        puts("Mounts:      (none)");
    if (r.total_kib != 0) {
        std::uint64_t used = r.total_kib - r.free_kib;
        int percent = static_cast<int>(used * 100 / r.total_kib);
        if (r.total_kib <= LARGEST_M_FORM_KIB)
            printf("Capacity:    %luM used / %luM total (%d%%)\n", whole(used, KIB_PER_M), whole(r.total_kib, KIB_PER_M),
                   percent);
        else
            printf("Capacity:    %.1fG used / %.1fG total (%d%%)\n", static_cast<double>(used) / KIB_PER_G,
                   static_cast<double>(r.total_kib) / KIB_PER_G, percent);
    }
    if (r.process_count == 0) {
        puts("Processes:   none");
    } else if (r.processes[0] != '\0') {
        printf("Processes:   %u (", r.process_count);
        print_field("", r.processes, ")\n");
    } else
        printf("Processes:   %u (unknown)\n", r.process_count);
    return 0;
}

}  // namespace

void format_temperature(char *out, unsigned size, std::int16_t tenths)
{
    // The quotient alone loses the sign between -0.9 and -0.1: -5 tenths is -0.5, not 0.5.
    const char *sign = tenths < 0 && tenths > -10 ? "-" : "";
    snprintf(out, size, "%s%d.%d", sign, tenths / 10, std::abs(tenths % 10));
}

int prefix_length(std::uint32_t mask_network_order)
{
    std::uint32_t mask = ntohl(mask_network_order);
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)) != 0)
        bits++;
    return bits;
}

int percent_used(std::uint64_t total, std::uint64_t free)
{
    return total == 0 ? 0 : static_cast<int>((total - free) * 100 / total);
}

int report_status()
{
    ControlReply all;
    if (!ask(CMD_STATUS_ALL, all))
        return -1;
    if (all.status != STATUS_OK) {
        printf("Error: %d\n", all.status);
        return -1;
    }
    // After a time-out its one line is the report: each further request would wait as long.
    bool switch_4g = switch_on(CMD_4G_STATUS);
    bool switch_wifi = !ctl_timed_out() && switch_on(CMD_WIFI_STATUS);
    SysInfoRecord system;
    bool system_valid = !ctl_timed_out() && fetch_sysinfo_quietly(system);
    if (ctl_timed_out())
        return -1;

    puts("=== TesMar GPIO Status ===\n");
    printf("Power Supply: %s\n", power_source_name(all.data[0]));
    printf("  VALID1: %s (外接电源)\n", all.data[3] != 0 ? "OK" : "--");
    printf("  VALID2: %s (内接电源)\n", all.data[4] != 0 ? "OK" : "--");
    printf("  12V Output: %s\n", all.data[1] != 0 ? "ON" : "OFF");

    ControlReply reply;
    if (ask(CMD_INA236, reply) && reply.status == STATUS_OK) {
        Ina236Reply ina;
        static_assert(sizeof ina == sizeof reply);
        std::memcpy(&ina, &reply, sizeof ina);
        int current_ma = ina.current_ma;
        std::uint32_t power_uw = ina.power_uw;
        printf("  INA236: %.2fV  %dmA  %.2fW\n", ina.bus_mv / 1000.0, current_ma, power_uw / 1000000.0);
    }

    printf("\n4G:    switch=%s  pin=%s\n", switch_4g ? "ON" : "OFF", all.data[2] != 0 ? "HIGH" : "LOW");
    printf("WiFi:  switch=%s  pin=%s\n", switch_wifi ? "ON" : "OFF", all.data[5] != 0 ? "HIGH" : "LOW");

    if (ctl_timed_out())
        return -1;
    fputs("\nLEDs: ", stdout);
    for (std::uint8_t index = 0; index < BOARD_LED_COUNT && !ctl_timed_out(); index++) {
        if (ask(CMD_LED_GET, reply, index) && reply.status == STATUS_OK && reply.data[0] != 0)
            printf("%s=%s ", BOARD_LEDS[index].id, led_mode_name(reply.data[0]));
    }
    putchar('\n');
    if (ctl_timed_out())
        return -1;

    if (system_valid)
        print_status_system_block(system);
    return 0;
}

int report_sysinfo()
{
    SysInfoRecord r;
    if (!fetch_record(CMD_SYSINFO, "sysinfo", r))
        return -1;
    if (r.version != SYSINFO_VERSION) {
        fprintf(stderr, "Sysinfo version mismatch: got %u, expected %u\n", r.version, SYSINFO_VERSION);
        return -1;
    }
    if (r.status != 0) {
        printf("Error: %d\n", r.status);
        return -1;
    }

    char temperature[16];
    format_temperature(temperature, sizeof temperature, r.cpu_temp);
    printf("=== System Info (v%u) ===\n", SYSINFO_VERSION);
    printf("CPU Temp:    %s°C\n", temperature);
    unsigned long s = r.uptime_s;
    if (r.uptime_s > 86399)
        printf("Uptime:      %lu days, %lu:%02lu:%02lu\n", s / 86400, (s % 86400) / 3600, (s % 3600) / 60, s % 60);
    else
        printf("Uptime:      %lu:%02lu:%02lu\n", (s % 86400) / 3600, (s % 3600) / 60, s % 60);
    printf("Load:        %u.%02u %u.%02u %u.%02u\n\n", r.load1_x100 / 100, r.load1_x100 % 100, r.load5_x100 / 100,
           r.load5_x100 % 100, r.load15_x100 / 100, r.load15_x100 % 100);
    print_memory(r);
    print_disk(r);

    puts("\nNetwork:");
    char address[INET_ADDRSTRLEN];
    for (const interface_field &i : interfaces) {
        if (r.*i.address != 0)
            printf(i.sysinfo_format, dotted(r.*i.address, address), prefix_length(r.*i.mask));
    }
    if (no_interface_up(r))
        puts("  (no interfaces up)");
    if (r.default_route < std::size(route_names))
        printf("Default Route: %s\n", route_names[r.default_route]);
    else
        puts("Default Route: (none)");
    if (r.battery_pct == BATTERY_NA)
        puts("Battery:     N/A");
    else
        printf("Battery:     %u%%\n", r.battery_pct);
    return 0;
}

int report_4g_info()
{
    int fd = connect_and_send(make_request(CMD_4G_INFO));
    if (fd == EXCHANGE_SOCKET) {
        perror("socket");
        return -1;
    }
    if (fd == EXCHANGE_CONNECT) {
        fputs("Cannot connect to daemon\n", stderr);
        return -1;
    }
    if (fd == EXCHANGE_TIMED_OUT)
        return ctl_report_exchange_failure(fd);
    if (fd < 0)
        return -1;
    ModemInfoRecord r;
    ssize_t got = receive_record(fd, &r, sizeof r);
    if (got != static_cast<ssize_t>(sizeof r)) {
        if (got != RECEIVE_TIMED_OUT && got != RECEIVE_ERROR_REPLY)
            fputs("Invalid 4G info response\n", stderr);
        return -1;
    }
    if (r.status != 0) {
        puts("4G Modem: not available");
        return 0;
    }
    puts("=== 4G Modem Info ===");
    print_field("ICCID:       ", r.iccid);
    print_field("IMSI:        ", r.imsi);
    print_field("Operator:    ", r.operator_name, "");
    if (r.mcc != 0)
        printf(" (MCC=%u MNC=%u)", static_cast<unsigned>(r.mcc), r.mnc);
    putchar('\n');

    fputs("Network:     ", stdout);
    if (const char *name = access_tech_name(r.access_tech))
        fputs(name, stdout);
    else
        printf("Unknown(%u)", r.access_tech);
    if (r.band != 0)
        printf(" Band %u", r.band);
    putchar('\n');

    fputs("Status:      ", stdout);
    if (const char *name = registration_name(r.reg_status))
        fputs(name, stdout);
    else
        printf("%u", r.reg_status);
    puts(r.connected != 0 ? ", connected" : ", idle");

    if (r.rssi != MODEM_NO_VALUE)
        printf("Signal:      RSSI=%d (%d dBm) BER=%u\n", r.rssi, r.rssi * 2 - 113, r.ber);
    std::uint16_t pci = r.pci, tac = r.tac;
    std::uint32_t cell_id = r.cell_id;
    std::int16_t rsrp = r.rsrp, rsrq = r.rsrq;
    printf("Cell:        PCI=%u CellID=%u TAC=%u\n", static_cast<unsigned>(pci), cell_id, static_cast<unsigned>(tac));
    printf("RSRP:        %d dBm\n", rsrp);
    printf("RSRQ:        %d dB\n", rsrq);
    return 0;
}

int report_sdcard(const char *program, const char *action)
{
    if (action == nullptr) {
        printf("Usage: %s sdcard remove|status|state\n", program);
        return -1;
    }
    if (std::strcmp(action, "remove") == 0)
        return sdcard_remove();
    if (std::strcmp(action, "status") == 0)
        return sdcard_status();
    printf("Unknown sdcard action: %s (use remove, status, or state)\n", action);
    return -1;
}
