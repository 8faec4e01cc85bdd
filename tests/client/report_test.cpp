// The reports rendered from crafted records: every unit form and its boundaries, the
// fields that may be missing, wrong sizes and versions, and a daemon that is absent.
#include "client_fixture.h"
#include "reports.h"

#include <arpa/inet.h>

#include <cstring>
#include <functional>

namespace {

std::uint32_t ipv4(const char *dotted) { return inet_addr(dotted); }

template <std::size_t Size>
void put_text(char (&field)[Size], const char *text)
{
    std::memset(field, 0, Size);
    std::memcpy(field, text, std::min(std::strlen(text), Size));
}

// ---- sysinfo ----

SysInfoRecord typical_sysinfo()
{
    SysInfoRecord r{};
    r.version = SYSINFO_VERSION;
    r.cpu_temp = 478;
    r.mem_total_kib = 1000000;
    r.mem_avail_kib = 600000;
    r.sd_total_kib = 31200000;
    r.sd_free_kib = 20000000;
    r.uptime_s = 93784;  // 1 day, 2:03:04
    r.load1_x100 = 150;
    r.load5_x100 = 75;
    r.load15_x100 = 5;
    r.end1_addr = ipv4("192.168.1.10");
    r.end1_mask = ipv4("255.255.255.0");
    r.wlan0_addr = ipv4("192.168.4.1");
    r.wlan0_mask = ipv4("255.255.255.0");
    r.default_route = ROUTE_END1;
    r.battery_pct = 87;
    r.fixed_99 = SYSINFO_FIXED_99;
    return r;
}

TEST_F(ClientTest, SysinfoReportOfATypicalBoard)
{
    fake_ctl_server daemon(socket_path());
    daemon.answer(record_bytes(typical_sysinfo()));
    Outcome run = run_client({"sysinfo"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "=== System Info (v1) ===\n"
                       "CPU Temp:    47.8°C\n"
                       "Uptime:      1 days, 2:03:04\n"
                       "Load:        1.50 0.75 0.05\n"
                       "\n"
                       "Memory:      390.6M / 976.5M (40% used)\n"
                       "Disk (SD):   10.6G used / 29.7G total  (35%)\n"
                       "\n"
                       "Network:\n"
                       "  end1:  192.168.1.10/24\n"
                       "  wlan0: 192.168.4.1/24\n"
                       "Default Route: end1\n"
                       "Battery:     87%\n");
    EXPECT_EQ(daemon.requests(), std::vector<bytes>{request_bytes(CMD_SYSINFO)});
}

struct SysinfoLine {
    const char *name;
    void (*change)(SysInfoRecord &);
    const char *line;  // must appear as a whole line
};

const SysinfoLine sysinfo_lines[] = {
    {"Temperature456", [](SysInfoRecord &r) { r.cpu_temp = 456; }, "CPU Temp:    45.6°C"},
    {"TemperatureMinus35", [](SysInfoRecord &r) { r.cpu_temp = -35; }, "CPU Temp:    -3.5°C"},
    {"TemperatureZero", [](SysInfoRecord &r) { r.cpu_temp = 0; }, "CPU Temp:    0.0°C"},
    {"TemperatureMinusHalfKeepsItsSign", [](SysInfoRecord &r) { r.cpu_temp = -5; }, "CPU Temp:    -0.5°C"},
    {"TemperatureMinusTenth", [](SysInfoRecord &r) { r.cpu_temp = -1; }, "CPU Temp:    -0.1°C"},
    {"TemperatureMinusOne", [](SysInfoRecord &r) { r.cpu_temp = -10; }, "CPU Temp:    -1.0°C"},
    {"TemperatureLowest", [](SysInfoRecord &r) { r.cpu_temp = -32768; }, "CPU Temp:    -3276.8°C"},
    {"UptimeLastSecondOfTheFirstDay", [](SysInfoRecord &r) { r.uptime_s = 86399; }, "Uptime:      23:59:59"},
    {"UptimeOneDay", [](SysInfoRecord &r) { r.uptime_s = 86400; }, "Uptime:      1 days, 0:00:00"},
    {"MemoryLargestMForm",
     [](SysInfoRecord &r) {
         r.mem_total_kib = 1048575;
         r.mem_avail_kib = 524288;
     },
     "Memory:      511.9M / 1023.9M (49% used)"},
    {"MemorySmallestGForm",
     [](SysInfoRecord &r) {
         r.mem_total_kib = 1048576;
         r.mem_avail_kib = 524288;
     },
     "Memory:      512.0M / 1.0G (50% used)"},
    {"MemoryTotalZero", [](SysInfoRecord &r) { r.mem_total_kib = r.mem_avail_kib = 0; },
     "Memory:      0.0M / 0.0M (0% used)"},
    {"DiskNotMounted", [](SysInfoRecord &r) { r.sd_total_kib = r.sd_free_kib = 0; },
     "Disk (SD):   N/A (not mounted)"},
    {"DiskLargestMForm",
     [](SysInfoRecord &r) {
         r.sd_total_kib = 1048575;
         r.sd_free_kib = 524287;
     },
     "Disk (SD):   512M used / 1023M total  (50%)"},
    {"DiskSmallUseOfAGSizedCard",
     [](SysInfoRecord &r) {
         r.sd_total_kib = 31200000;
         r.sd_free_kib = 31200000 - 51200;  // 50 M used
     },
     "Disk (SD):   0.0G (50M used) / 29.7G  (0%)"},
    {"DiskLargestUseInMForm",
     [](SysInfoRecord &r) {
         r.sd_total_kib = 31200000;
         r.sd_free_kib = 31200000 - 104856;
     },
     "Disk (SD):   0.0G (102M used) / 29.7G  (0%)"},
    {"DiskSmallestUseInGForm",
     [](SysInfoRecord &r) {
         r.sd_total_kib = 31200000;
         r.sd_free_kib = 31200000 - 104857;
     },
     "Disk (SD):   0.0G used / 29.7G total  (0%)"},
    {"MaskWithAHoleCountsUpToItsFirstZero",
     [](SysInfoRecord &r) { r.end1_mask = ipv4("255.255.0.255"); }, "  end1:  192.168.1.10/16"},
    {"NoMask", [](SysInfoRecord &r) { r.end1_mask = 0; }, "  end1:  192.168.1.10/0"},
    {"End2", [](SysInfoRecord &r) { r.end2_addr = ipv4("10.0.0.5"), r.end2_mask = ipv4("255.255.0.0"); },
     "  end2:  10.0.0.5/16"},
    {"Wwan", [](SysInfoRecord &r) { r.wwan_addr = ipv4("10.64.1.2"), r.wwan_mask = ipv4("255.255.255.252"); },
     "  wwan:  10.64.1.2/30"},
    {"NoInterfaceUp", [](SysInfoRecord &r) { r.end1_addr = r.wlan0_addr = 0; }, "  (no interfaces up)"},
    {"RouteNone", [](SysInfoRecord &r) { r.default_route = ROUTE_NONE; }, "Default Route: (none)"},
    {"RouteUnknownCode", [](SysInfoRecord &r) { r.default_route = 4; }, "Default Route: (none)"},
    {"RouteWwan", [](SysInfoRecord &r) { r.default_route = ROUTE_WWAN; }, "Default Route: wwan"},
    {"RouteWlan0", [](SysInfoRecord &r) { r.default_route = ROUTE_WLAN0; }, "Default Route: wlan0"},
    {"BatteryNotAvailable", [](SysInfoRecord &r) { r.battery_pct = BATTERY_NA; }, "Battery:     N/A"},
    {"BatteryEmpty", [](SysInfoRecord &r) { r.battery_pct = 0; }, "Battery:     0%"},
};

class SysinfoLineTest : public ClientTest, public testing::WithParamInterface<SysinfoLine> {};

TEST_P(SysinfoLineTest, RendersTheLine)
{
    SysInfoRecord record = typical_sysinfo();
    GetParam().change(record);
    fake_ctl_server daemon(socket_path());
    daemon.answer(record_bytes(record));
    Outcome run = run_client({"sysinfo"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(count_lines(run.out, GetParam().line), 1) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Records, SysinfoLineTest, testing::ValuesIn(sysinfo_lines),
                         [](const auto &param) { return std::string(param.param.name); });

// ---- 4g info ----

ModemInfoRecord typical_modem()
{
    ModemInfoRecord r{};
    r.status = 0;
    r.rssi = 24;
    r.ber = 99;
    r.reg_status = 1;
    r.access_tech = 7;
    put_text(r.iccid, "89860117851014783481");
    put_text(r.imsi, "460011234567890");
    put_text(r.operator_name, "CHINA MOBILE");
    r.mcc = 460;
    r.mnc = 1;
    r.tac = 0x1a2b;
    r.cell_id = 0x5a3b10f;
    r.band = 3;
    r.pci = 123;
    r.rsrp = -95;
    r.rsrq = -10;
    r.connected = 1;
    return r;
}

TEST_F(ClientTest, ModemReportOfARegisteredModem)
{
    fake_ctl_server daemon(socket_path());
    daemon.answer(record_bytes(typical_modem()));
    Outcome run = run_client({"4g", "info"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "=== 4G Modem Info ===\n"
                       "ICCID:       89860117851014783481\n"
                       "IMSI:        460011234567890\n"
                       "Operator:    CHINA MOBILE (MCC=460 MNC=1)\n"
                       "Network:     LTE Band 3\n"
                       "Status:      registered (home), connected\n"
                       "Signal:      RSSI=24 (-65 dBm) BER=99\n"
                       "Cell:        PCI=123 CellID=94613775 TAC=6699\n"
                       "RSRP:        -95 dBm\n"
                       "RSRQ:        -10 dB\n");
    EXPECT_EQ(daemon.requests(), std::vector<bytes>{request_bytes(CMD_4G_INFO)});
}

struct ModemLine {
    const char *name;
    void (*change)(ModemInfoRecord &);
    const char *line;      // must appear as a whole line; nullptr: see absent
    const char *absent;    // must appear nowhere
};

const ModemLine modem_lines[] = {
    {"NoSignalValue", [](ModemInfoRecord &r) { r.rssi = 99; }, nullptr, "Signal:"},
    {"Rssi20", [](ModemInfoRecord &r) { r.rssi = 20, r.ber = 3; }, "Signal:      RSSI=20 (-73 dBm) BER=3", nullptr},
    {"NoMcc", [](ModemInfoRecord &r) { r.mcc = 0; }, "Operator:    CHINA MOBILE", "MCC="},
    {"Umts", [](ModemInfoRecord &r) { r.access_tech = 2; }, "Network:     UMTS Band 3", nullptr},
    {"UnknownTechnology", [](ModemInfoRecord &r) { r.access_tech = 4; }, "Network:     Unknown(4) Band 3", nullptr},
    {"NoBand", [](ModemInfoRecord &r) { r.band = 0; }, "Network:     LTE", "Band"},
    {"NotRegisteredIdle", [](ModemInfoRecord &r) { r.reg_status = 0, r.connected = 0; },
     "Status:      not registered, idle", nullptr},
    {"Searching", [](ModemInfoRecord &r) { r.reg_status = 2; }, "Status:      searching, connected", nullptr},
    {"Denied", [](ModemInfoRecord &r) { r.reg_status = 3; }, "Status:      3, connected", nullptr},
    {"UnknownRegistration", [](ModemInfoRecord &r) { r.reg_status = 4; }, "Status:      4, connected", nullptr},
    {"Roaming", [](ModemInfoRecord &r) { r.reg_status = 5; }, "Status:      registered (roaming), connected",
     nullptr},
    {"LargestValues",
     [](ModemInfoRecord &r) { r.pci = 65535, r.cell_id = 0xffffffff, r.tac = 65535, r.rsrp = -32768; },
     "Cell:        PCI=65535 CellID=4294967295 TAC=65535", nullptr},
    // Text fields that fill their whole width: nothing beyond the field is shown.
    {"UnterminatedIccid", [](ModemInfoRecord &r) { std::memset(r.iccid, '8', sizeof r.iccid); },
     "ICCID:       888888888888888888888888", nullptr},
    {"UnterminatedImsi", [](ModemInfoRecord &r) { std::memset(r.imsi, '4', sizeof r.imsi); },
     "IMSI:        44444444444444444444", nullptr},
    {"UnterminatedOperator", [](ModemInfoRecord &r) { std::memset(r.operator_name, 'O', sizeof r.operator_name); },
     "Operator:    OOOOOOOOOOOOOOOOOOOO (MCC=460 MNC=1)", nullptr},
};

class ModemLineTest : public ClientTest, public testing::WithParamInterface<ModemLine> {};

TEST_P(ModemLineTest, RendersTheLine)
{
    ModemInfoRecord record = typical_modem();
    GetParam().change(record);
    fake_ctl_server daemon(socket_path());
    daemon.answer(record_bytes(record));
    Outcome run = run_client({"4g", "info"});
    EXPECT_EQ(run.status, 0);
    if (GetParam().line != nullptr) {
        EXPECT_EQ(count_lines(run.out, GetParam().line), 1) << run.out;
    }
    if (GetParam().absent != nullptr) {
        EXPECT_EQ(run.out.find(GetParam().absent), std::string::npos) << run.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Records, ModemLineTest, testing::ValuesIn(modem_lines),
                         [](const auto &param) { return std::string(param.param.name); });

// ---- Failures of the record exchanges ----

struct RecordFailure {
    const char *name;
    std::vector<std::string> args;
    std::function<bytes()> reply;  // nullptr: no daemon at all
    const char *out;
    const char *err;
    int status;
};

bytes truncated(bytes record, std::size_t size)
{
    record.resize(size);
    return record;
}

const RecordFailure record_failures[] = {
    {"SysinfoShort", {"sysinfo"}, [] { return truncated(record_bytes(typical_sysinfo()), 91); }, "",
     "Invalid sysinfo response (got 91, expected 92)\n", 255},
    {"SysinfoNoReply", {"sysinfo"}, [] { return bytes{}; }, "", "Invalid sysinfo response (got 0, expected 92)\n",
     255},
    {"SysinfoWrongVersion", {"sysinfo"},
     [] {
         SysInfoRecord r = typical_sysinfo();
         r.version = 2;
         return record_bytes(r);
     },
     "", "Sysinfo version mismatch: got 2, expected 1\n", 255},
    {"SysinfoErrorStatus", {"sysinfo"},
     [] {
         SysInfoRecord r = typical_sysinfo();
         r.status = 1;
         return record_bytes(r);
     },
     "Error: 1\n", "", 255},
    {"SysinfoNoDaemon", {"sysinfo"}, nullptr, "", "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n", 255},
    {"ModemShort", {"4g", "info"}, [] { return truncated(record_bytes(typical_modem()), 88); }, "",
     "Invalid 4G info response\n", 255},
    {"ModemGenericReply", {"4g", "info"}, [] { return ok(); }, "", "Invalid 4G info response\n", 255},
    {"ModemNoDaemon", {"4g", "info"}, nullptr, "", "Cannot connect to daemon\n", 255},
    {"ModemPortMissing", {"4g", "info"},
     [] {
         ModemInfoRecord r{};
         r.status = 1;
         r.rssi = r.ber = 99;
         return record_bytes(r);
     },
     "4G Modem: not available\n", "", 0},
    {"SdcardStatusShort", {"sdcard", "status"}, [] { return bytes(16, 0); }, "",
     "Invalid sdcard info response (got 16, expected 220)\n", 255},
    {"SdcardStatusNoDaemon", {"sdcard", "status"}, nullptr, "",
     "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n", 255},
    {"SdcardRemoveShort", {"sdcard", "remove"}, [] { return bytes(8, 0); },
     "Ejecting SD card...\nFailed to send remove request\n", "Invalid response\n", 255},
    {"SdcardRemoveNoDaemon", {"sdcard", "remove"}, nullptr, "Ejecting SD card...\nFailed to send remove request\n",
     "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n", 255},
    {"StatusNoDaemon", {"status"}, nullptr, "", "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n", 255},
    {"StatusErrorStatus", {"status"}, [] { return reply_bytes(STATUS_UNKNOWN_COMMAND); }, "Error: 2\n", "", 255},
    {"StatusShortReply", {"status"}, [] { return bytes(4, 0); }, "", "Invalid response\n", 255},
};

class RecordFailureTest : public ClientTest, public testing::WithParamInterface<RecordFailure> {};

TEST_P(RecordFailureTest, ReportsAndExits)
{
    const RecordFailure &c = GetParam();
    std::optional<fake_ctl_server> daemon;
    if (c.reply) {
        daemon.emplace(socket_path());
        daemon->answer(c.reply());
    }
    Outcome run = run_client(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Replies, RecordFailureTest, testing::ValuesIn(record_failures),
                         [](const auto &param) { return std::string(param.param.name); });

// ---- sdcard ----

SdCardStatusRecord card(std::uint64_t total, std::uint64_t free, std::uint32_t processes, const char *pids,
                        const char *mounts = "/home/pi/sd")
{
    SdCardStatusRecord r{};
    r.version = SDCARD_STATUS_VERSION;
    r.partitions = 1;
    r.total_kib = total;
    r.free_kib = free;
    r.process_count = processes;
    put_text(r.mounts, mounts);
    put_text(r.processes, pids);
    return r;
}

bytes removed(std::uint8_t result, std::uint8_t found, std::uint8_t unmounted, std::uint8_t killed)
{
    return ok({result, found, unmounted, killed});
}

struct SdcardCase {
    const char *name;
    std::vector<std::string> args;
    std::function<bytes()> reply;
    const char *out;
    int status;
};

const SdcardCase sdcard_cases[] = {
    {"Alone", {"sdcard"}, nullptr, "Usage: gpioctl sdcard remove|status|state\n", 255},
    {"UnknownAction", {"sdcard", "eject"}, nullptr, "Unknown sdcard action: eject (use remove, status, or state)\n", 255},
    {"RemoveOk", {"sdcard", "remove"}, [] { return removed(SDCARD_REMOVE_OK, 2, 2, 3); },
     "Ejecting SD card...\nSD card removed successfully.\n  Partitions unmounted: 2/2\n  Processes terminated: 3\n", 0},
    {"RemoveNone", {"sdcard", "remove"}, [] { return removed(SDCARD_REMOVE_NONE, 0, 0, 0); },
     "Ejecting SD card...\nNo SD card found (nothing to remove).\n", 0},
    {"RemovePartial", {"sdcard", "remove"}, [] { return removed(SDCARD_REMOVE_PARTIAL, 2, 1, 0); },
     "Ejecting SD card...\nPartial failure: 1/2 partitions unmounted.\n  Some mounts may still be active.\n", 255},
    {"RemoveUnknownResult", {"sdcard", "remove"}, [] { return removed(7, 0, 0, 0); },
     "Ejecting SD card...\nUnknown result code: 7\n", 255},
    {"RemoveDaemonError", {"sdcard", "remove"}, [] { return reply_bytes(STATUS_UNKNOWN_COMMAND); },
     "Ejecting SD card...\nError: daemon returned status 2\n", 255},
    {"StatusNotInserted", {"sdcard", "status"},
     [] {
         SdCardStatusRecord r{};
         r.version = r.status = 1;
         return record_bytes(r);
     },
     "SD Card: not inserted\n", 0},
    {"StatusLargestMForm", {"sdcard", "status"}, [] { return record_bytes(card(1048575, 524287, 0, "")); },
     "=== SD Card Status ===\nPartitions:  1\nMounts:      /home/pi/sd\n"
     "Capacity:    512M used / 1023M total (50%)\nProcesses:   none\n",
     0},
    {"StatusSmallestGForm", {"sdcard", "status"}, [] { return record_bytes(card(1048576, 0, 2, "812,907")); },
     "=== SD Card Status ===\nPartitions:  1\nMounts:      /home/pi/sd\n"
     "Capacity:    1.0G used / 1.0G total (100%)\nProcesses:   2 (812,907)\n",
     0},
    {"StatusWithoutFigures", {"sdcard", "status"}, [] { return record_bytes(card(0, 0, 2, "")); },
     "=== SD Card Status ===\nPartitions:  1\nMounts:      /home/pi/sd\nProcesses:   2 (unknown)\n", 0},
    {"StatusNoMountText", {"sdcard", "status"}, [] { return record_bytes(card(0, 0, 0, "", "")); },
     "=== SD Card Status ===\nPartitions:  1\nMounts:      (none)\nProcesses:   none\n", 0},
    {"StatusUnterminatedTexts", {"sdcard", "status"},
     [] {
         SdCardStatusRecord r = card(0, 0, 1, "");
         std::memset(r.mounts, 'm', sizeof r.mounts);
         std::memset(r.processes, '9', sizeof r.processes);
         return record_bytes(r);
     },
     nullptr, 0},
};

class SdcardTest : public ClientTest, public testing::WithParamInterface<SdcardCase> {};

TEST_P(SdcardTest, PrintsAndExits)
{
    const SdcardCase &c = GetParam();
    fake_ctl_server daemon(socket_path());
    if (c.reply)
        daemon.answer(c.reply());
    Outcome run = run_client(c.args);
    EXPECT_EQ(run.status, c.status);
    if (c.out != nullptr) {
        EXPECT_EQ(run.out, c.out);
    } else {
        EXPECT_EQ(count_lines(run.out, "Mounts:      " + std::string(96, 'm')), 1) << run.out;
        EXPECT_EQ(count_lines(run.out, "Processes:   1 (" + std::string(96, '9') + ")"), 1) << run.out;
    }
    if (!c.reply) {
        EXPECT_TRUE(daemon.requests().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Records, SdcardTest, testing::ValuesIn(sdcard_cases),
                         [](const auto &param) { return std::string(param.param.name); });

// ---- status ----

// A daemon that answers each of the overview's requests; DROP names a command it hangs
// up on instead, CHANGE adjusts its answers.
struct status_daemon {
    std::uint8_t drop = 0;
    SysInfoRecord system = typical_sysinfo();
    std::uint8_t led_modes[7] = {2, 0, 0, 0, 1, 9, 0};

    bytes answer(const bytes &request) const
    {
        if (request.empty() || request[0] == drop)
            return {};
        switch (request[0]) {
        case CMD_STATUS_ALL:
            return ok({1, 1, 1, 1, 0, 0});
        case CMD_4G_STATUS:
            return ok({1});
        case CMD_WIFI_STATUS:
            return ok({0});
        case CMD_SYSINFO:
            return record_bytes(system);
        case CMD_INA236:  // 12.000 V, 1500 mA, 18.5 W
            return ok({0xe0, 0x2e, 0xdc, 0x05, 0xa0, 0x49, 0x1a, 0x01});
        case CMD_LED_GET:
            return ok({led_modes[request[1] % 7]});
        default:
            return reply_bytes(STATUS_UNKNOWN_COMMAND);
        }
    }
};

class StatusTest : public ClientTest {
protected:
    Outcome run(const status_daemon &script)
    {
        daemon.answer_with([script](const bytes &request) { return script.answer(request); });
        return run_client({"status"});
    }
    fake_ctl_server daemon{socket_path()};
};

TEST_F(StatusTest, OverviewOfEverything)
{
    Outcome outcome = run(status_daemon{});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "=== TesMar GPIO Status ===\n"
                           "\n"
                           "Power Supply: external\n"
                           "  VALID1: OK (外接电源)\n"
                           "  VALID2: -- (内接电源)\n"
                           "  12V Output: ON\n"
                           "  INA236: 12.00V  1500mA  18.50W\n"
                           "\n"
                           "4G:    switch=ON  pin=HIGH\n"
                           "WiFi:  switch=OFF  pin=LOW\n"
                           "\n"
                           "LEDs: sys=blink_slow wifi=on 4g=unknown \n"
                           "\n"
                           "System:\n"
                           "  CPU:    47.8°C\n"
                           "  Uptime: 1d 2:03\n"
                           "  Memory: 40% used (390M / 976M)\n"
                           "  Disk:   35% used (19G free)\n"
                           "  Load:   1.50 0.75 0.05\n"
                           "  Net:    end1=192.168.1.10 wlan0=192.168.4.1\n"
                           "  Route: end1\n");
    std::vector<bytes> expected = {request_bytes(CMD_STATUS_ALL), request_bytes(CMD_4G_STATUS),
                                   request_bytes(CMD_WIFI_STATUS), request_bytes(CMD_SYSINFO),
                                   request_bytes(CMD_INA236)};
    for (std::uint8_t led = 0; led < 7; led++)
        expected.push_back(request_bytes(CMD_LED_GET, led));
    EXPECT_EQ(daemon.requests(), expected);
}

struct StatusVariant {
    const char *name;
    void (*change)(status_daemon &);
    const char *line;    // must appear as a whole line, or nullptr
    const char *absent;  // must appear nowhere, or nullptr
};

const StatusVariant status_variants[] = {
    {"NoInaLine", [](status_daemon &d) { d.drop = CMD_INA236; }, nullptr, "INA236"},
    {"FailedSwitchShowsOff", [](status_daemon &d) { d.drop = CMD_4G_STATUS; }, "4G:    switch=OFF  pin=HIGH",
     nullptr},
    {"FailedLedIsLeftOut", [](status_daemon &d) { d.drop = CMD_LED_GET; }, "LEDs: ", "sys="},
    {"AllLedsOff", [](status_daemon &d) { std::memset(d.led_modes, 0, sizeof d.led_modes); }, "LEDs: ", "sys="},
    {"NoSystemBlockWithoutRecord", [](status_daemon &d) { d.drop = CMD_SYSINFO; }, nullptr, "System:"},
    {"NoSystemBlockOnErrorStatus", [](status_daemon &d) { d.system.status = 1; }, nullptr, "System:"},
    {"WrongVersionStillShown", [](status_daemon &d) { d.system.version = 7; }, "System:", nullptr},
    {"NoRouteLine", [](status_daemon &d) { d.system.default_route = ROUTE_NONE; }, nullptr, "Route:"},
    {"NoInterfaces", [](status_daemon &d) { d.system.end1_addr = d.system.wlan0_addr = 0; }, "  Net:    (none)",
     nullptr},
    {"UptimeWithoutDays", [](status_daemon &d) { d.system.uptime_s = 86399; }, "  Uptime: 23:59", nullptr},
    {"UptimeOneDay", [](status_daemon &d) { d.system.uptime_s = 86400; }, "  Uptime: 1d 0:00", nullptr},
    {"DiskNotMounted", [](status_daemon &d) { d.system.sd_total_kib = 0; }, "  Disk:   N/A (SD card not mounted)",
     nullptr},
    {"NegativeTemperature", [](status_daemon &d) { d.system.cpu_temp = -5; }, "  CPU:    -0.5°C", nullptr},
};

class StatusVariantTest : public StatusTest, public testing::WithParamInterface<StatusVariant> {};

TEST_P(StatusVariantTest, StillReportsAndSucceeds)
{
    status_daemon script;
    GetParam().change(script);
    Outcome outcome = run(script);
    EXPECT_EQ(outcome.status, 0);
    if (GetParam().line != nullptr) {
        EXPECT_EQ(count_lines(outcome.out, GetParam().line), 1) << outcome.out;
    }
    if (GetParam().absent != nullptr) {
        EXPECT_EQ(outcome.out.find(GetParam().absent), std::string::npos) << outcome.out;
    }
    EXPECT_EQ(daemon.requests().size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(Daemons, StatusVariantTest, testing::ValuesIn(status_variants),
                         [](const auto &param) { return std::string(param.param.name); });

// ---- The program needs the C library only ----

TEST(ClientBinary, NeedsOnlyTheCLibrary)
{
    if (sanitized_build())
        GTEST_SKIP() << "a sanitized client also needs the sanitizer runtime";
    RunResult run = run_program({"/bin/sh", "-c", "readelf -d \"$0\"", client_binary()}, {});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> needed;
    for (const std::string &line : lines_of(run.out)) {
        // On aarch64 the stack protector's canary lives in the dynamic loader, which is
        // part of the C library.
        if (line.find("(NEEDED)") != std::string::npos && line.find("[ld-linux-") == std::string::npos)
            needed.push_back(line.substr(line.find('[')));
    }
    EXPECT_EQ(needed, std::vector<std::string>{"[libc.so.6]"});
}

}  // namespace
