// The snapshot's conversions and choices as pure functions over verbatim texts, and the
// whole record gathered from a simulated board's files.
#include "ctl_storage.h"
#include "ctl_sysinfo.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/statvfs.h>

#include <climits>
#include <cstring>

#include <filesystem>

namespace {

TEST(Snapshot, TemperatureInTenthsTruncatedTowardZero)
{
    const std::pair<long, std::int16_t> cases[] = {
        {47850, 478}, {-5500, -55}, {0, 0}, {99, 0}, {-99, 0}, {-150, -1}, {100, 1}, {125000, 1250},
        // beyond the field: held at its ends, never wrapped to the other sign
        {3276700, 32767}, {3276800, 32767}, {-3276800, -32768}, {-3276900, -32768}, {LONG_MAX, 32767},
        {LONG_MIN, -32768}};
    for (auto [millidegrees, tenths] : cases)
        EXPECT_EQ(sysinfo_temperature_tenths(millidegrees), tenths) << millidegrees;
}

TEST(Snapshot, LoadFiguresTimesHundred)
{
    // The kernel's fixed point: 16 fraction bits (0.05 is 3277).
    const std::pair<unsigned long, std::uint32_t> cases[] = {
        {98304, 150}, {49152, 75}, {3277, 5}, {0, 0}, {65536 * 12 + 655, 1200}};
    for (auto [load, x100] : cases)
        EXPECT_EQ(sysinfo_load_x100(load), x100) << load;
}

TEST(Snapshot, AvailableMemoryFromMeminfo)
{
    const char *meminfo = "MemTotal:        3884024 kB\n"
                          "MemFree:          291632 kB\n"
                          "MemAvailable:    2419348 kB\n"
                          "Buffers:          142312 kB\n";
    EXPECT_EQ(sysinfo_mem_available(meminfo), 2419348u);
    EXPECT_EQ(sysinfo_mem_available("MemTotal: 1 kB\nMemFree: 2 kB\n"), std::nullopt);
    EXPECT_EQ(sysinfo_mem_available("MemAvailable: lots\n"), std::nullopt);
    EXPECT_EQ(sysinfo_mem_available(""), std::nullopt);
    EXPECT_EQ(sysinfo_mem_available("MemAvailable: 5 kB\nMemAvailable: 6 kB\n"), 5u);
    EXPECT_EQ(sysinfo_mem_available("MemAvailable:   -5 kB\n"), 0u) << "no memory is 0, not 2^64 - 5";
}

TEST(Snapshot, PowerMonitorReadingsAreHeldToTheirFields)
{
    struct {
        long bus_mv, current_ma, power_uw;
        std::uint16_t bus;
        std::int16_t current;
        std::uint32_t power;
    } const cases[] = {
        {12034, 250, 3008500, 12034, 250, 3008500},
        {5000, -150, 750000, 5000, -150, 750000},
        {65535, 32767, 4294967295, 65535, 32767, 4294967295u},
        {70000, 40000, 5000000000, 65535, 32767, 4294967295u},
        {-1, -40000, -5, 0, -32768, 0},
        {LONG_MAX, LONG_MIN, LONG_MIN, 65535, -32768, 0},
    };
    for (const auto &c : cases) {
        Ina236Reply reply{};
        ctl_ina236_values(c.bus_mv, c.current_ma, c.power_uw, reply);
        EXPECT_EQ(+reply.bus_mv, c.bus) << c.bus_mv;
        EXPECT_EQ(+reply.current_ma, c.current) << c.current_ma;
        EXPECT_EQ(+reply.power_uw, c.power) << c.power_uw;
    }
}

TEST(Snapshot, VersionTextCarriesTheGivenRevisionAndDate)
{
    struct {
        const char *revision, *date, *text;  // nullptr: refused, the record untouched
    } const cases[] = {
        {"abc1234", "2027-03-04", "v1.5.0 git:abc1234 built:2027-03-04"},
        {"889249d", "2026-06-23", "v1.5.0 git:889249d built:2026-06-23"},
        {"abc12345", "2027-03-04", nullptr},
        {"abc123", "2027-03-04", nullptr},
        {"abc1234", "27-3-4", nullptr},
    };
    for (const auto &c : cases) {
        VersionText text;
        std::memset(&text, 'x', sizeof text);
        EXPECT_EQ(ctl_version_text(c.revision, c.date, text), c.text != nullptr) << c.revision << " " << c.date;
        EXPECT_EQ(std::string(text.text, sizeof text.text), c.text != nullptr ? c.text : std::string(35, 'x'));
    }
}

struct MountCase {
    const char *name;
    const char *mounts;
    const char *chosen;
};

const MountCase mount_cases[] = {
    {"DeeperMountWins",
     "/dev/mmcblk0p1 /home/pi vfat rw 0 0\n/dev/mmcblk0p2 /home/pi/sd/data ext4 rw 0 0\n", "/home/pi/sd/data"},
    {"LaterAmongEquals", "/dev/mmcblk0p1 /home/pi/a vfat rw 0 0\n/dev/mmcblk0p2 /home/pi/b ext4 rw 0 0\n",
     "/home/pi/b"},
    {"DeeperEarlierBeatsShallowerLater",
     "/dev/mmcblk0p1 /home/pi/a/b vfat rw 0 0\n/dev/mmcblk0p2 /home/pi/c ext4 rw 0 0\n", "/home/pi/a/b"},
    {"HomeItself", "/dev/mmcblk0p1 /home/pi vfat rw 0 0\n", "/home/pi"},
    {"HomeNeverReplacesAChoice", "/dev/mmcblk0p1 /home/pi/sd vfat rw 0 0\n/dev/mmcblk0p2 /home/pi ext4 rw 0 0\n",
     "/home/pi/sd"},
    {"OutsideHomeIsNeverMeasured", "/dev/mmcblk0p1 /media/sd vfat rw 0 0\n", ""},
    {"LookalikeOfHome", "/dev/mmcblk0p1 /home/pix vfat rw 0 0\n", ""},
    {"OtherCardIsNotOurs", "/dev/mmcblk1p1 /home/pi/sd vfat rw 0 0\n", ""},
    {"DeviceNeedOnlyContainTheName", "/dev/mmcblk0p1 /home/pi/sd vfat rw 0 0\n", "/home/pi/sd"},
    {"OtherDevicesAreSkipped", "/dev/root / ext4 rw 0 0\n/dev/sda1 /home/pi/usb vfat rw 0 0\n", ""},
    {"EscapedBlank", "/dev/mmcblk0p1 /home/pi/my\\040card vfat rw 0 0\n", "/home/pi/my card"},
};

class MountChoiceTest : public testing::TestWithParam<MountCase> {};

TEST_P(MountChoiceTest, ChoosesTheMeasuredMount)
{
    EXPECT_EQ(sysinfo_sd_mount(parse_mounts(GetParam().mounts)), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(Tables, MountChoiceTest, testing::ValuesIn(mount_cases),
                         [](const auto &param) { return std::string(param.param.name); });

constexpr const char *ROUTE_HEADER =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

struct RouteCase {
    const char *name;
    std::string table;
    std::uint8_t route;
};

const RouteCase route_cases[] = {
    {"End1", std::string(ROUTE_HEADER) + "end1\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" +
                 "end1\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
     ROUTE_END1},
    {"End2", std::string(ROUTE_HEADER) + "end2\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", ROUTE_END2},
    {"Wlan0", std::string(ROUTE_HEADER) + "wlan0\t00000000\t0104A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
     ROUTE_WLAN0},
    {"Wwan", std::string(ROUTE_HEADER) + "wwu1u2i4\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n",
     ROUTE_WWAN},
    {"FirstDefaultDecides", std::string(ROUTE_HEADER) +
                                "end1\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n" +
                                "wwu1u2i4\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n" +
                                "end1\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
     ROUTE_WWAN},
    {"ForeignDefaultEndsTheSearch", std::string(ROUTE_HEADER) +
                                        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" +
                                        "end1\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
     ROUTE_NONE},
    {"NoDefault", std::string(ROUTE_HEADER) + "end1\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
     ROUTE_NONE},
    {"HeaderIsNeverARoute", "end1\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", ROUTE_NONE},
    {"MalformedLinesAreSkipped", std::string(ROUTE_HEADER) + "end1\n\nwlan0 zz\nend2 0\n", ROUTE_END2},
    {"Empty", "", ROUTE_NONE},
};

class RouteTest : public testing::TestWithParam<RouteCase> {};

TEST_P(RouteTest, FindsTheDefaultRoute) { EXPECT_EQ(sysinfo_default_route(GetParam().table), GetParam().route); }

INSTANTIATE_TEST_SUITE_P(Tables, RouteTest, testing::ValuesIn(route_cases),
                         [](const auto &param) { return std::string(param.param.name); });

// ---- From the board's files ----

class BoardSnapshotTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
        std::filesystem::remove_all(supplies());
        std::filesystem::create_directories(supplies());
    }
    std::string supplies() const { return board.path("/sys/class/power_supply"); }
    void supply(const std::string &name, const char *type, const char *capacity)
    {
        std::filesystem::create_directories(supplies() + "/" + name);
        write_file(supplies() + "/" + name + "/type", type);
        if (capacity != nullptr)
            write_file(supplies() + "/" + name + "/capacity", capacity);
    }
    SimBoard board;
};

TEST_F(BoardSnapshotTest, BatteryWalk)
{
    EXPECT_EQ(ctl_read_battery(), BATTERY_NA) << "no supply";
    supply("ac", "Mains\n", nullptr);
    supply("usb", "USB\n", "100\n");
    EXPECT_EQ(ctl_read_battery(), BATTERY_NA) << "no battery among the supplies";
    supply(".hidden", "Battery\n", "5\n");
    EXPECT_EQ(ctl_read_battery(), BATTERY_NA) << "hidden entries are no supplies";
    supply("bat0", "Battery\n", "87\n");
    EXPECT_EQ(ctl_read_battery(), 87);
    for (auto [capacity, percent] : {std::pair{"300\n", 100}, {"101\n", 100}, {"-5\n", 0}, {"0\n", 0}}) {
        write_file(supplies() + "/bat0/capacity", capacity);
        EXPECT_EQ(ctl_read_battery(), percent) << "held to 0 to 100: " << capacity;
    }
    write_file(supplies() + "/bat0/capacity", "full\n");
    EXPECT_EQ(ctl_read_battery(), BATTERY_NA);
    std::filesystem::remove(supplies() + "/bat0/capacity");
    EXPECT_EQ(ctl_read_battery(), BATTERY_NA) << "a battery without capacity";
    std::filesystem::remove_all(supplies());
    EXPECT_EQ(ctl_read_battery(), BATTERY_NA) << "no supply directory";
}

TEST_F(BoardSnapshotTest, RecordFromTheBoardFiles)
{
    supply("bat0", "Battery\n", "64\n");
    write_file(board.path("/sys/class/thermal/thermal_zone0/temp"), "-5500\n");
    std::filesystem::remove(board.path("/proc/meminfo"));
    write_file(board.path("/proc/meminfo"), "MemTotal: 4000 kB\nMemAvailable:   1234 kB\n");
    std::filesystem::remove(board.path("/proc/net/route"));
    write_file(board.path("/proc/net/route"),
               std::string(ROUTE_HEADER) + "wlan0\t00000000\t0104A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    std::filesystem::create_directories(board.path("/home/pi/sd"));
    write_file(board.path("/proc/mounts"), "/dev/mmcblk0p1 /home/pi/sd vfat rw 0 0\n");

    SysInfoRecord record;
    std::memset(&record, 0xee, sizeof record);
    ctl_collect_sysinfo(record);

    EXPECT_EQ(+record.version, 1);
    EXPECT_EQ(+record.status, 0);
    EXPECT_EQ(+record.cpu_temp, -55);
    EXPECT_EQ(+record.mem_avail_kib, 1234u);
    EXPECT_GT(+record.mem_total_kib, 0u);
    EXPECT_GT(+record.uptime_s, 0u);
    struct statvfs fs {};
    ASSERT_EQ(statvfs(board.path("/home/pi/sd").c_str(), &fs), 0);
    EXPECT_EQ(+record.sd_total_kib, (static_cast<std::uint64_t>(fs.f_frsize) * fs.f_blocks) >> 10);
    EXPECT_NEAR(static_cast<double>(+record.sd_free_kib),
                static_cast<double>((static_cast<std::uint64_t>(fs.f_frsize) * fs.f_bfree) >> 10), 64.0 * 1024);
    EXPECT_EQ(+record.default_route, ROUTE_WLAN0);
    EXPECT_EQ(+record.battery_pct, 64);
    EXPECT_EQ(+record.fixed_99, 99);
    EXPECT_EQ(+record.unused, 0);
}

TEST_F(BoardSnapshotTest, NothingReadableLeavesInitialValues)
{
    for (const char *path : {"/sys/class/thermal/thermal_zone0/temp", "/proc/meminfo", "/proc/net/route"})
        std::filesystem::remove(board.path(path));
    std::filesystem::remove(board.path("/proc/mounts"));
    std::filesystem::remove_all(supplies());
    SysInfoRecord record;
    ctl_collect_sysinfo(record);
    EXPECT_EQ(+record.version, 1);
    EXPECT_EQ(+record.cpu_temp, 0);
    EXPECT_EQ(+record.sd_total_kib, 0u);
    EXPECT_EQ(+record.sd_free_kib, 0u);
    EXPECT_EQ(+record.default_route, ROUTE_NONE);
    EXPECT_EQ(+record.battery_pct, BATTERY_NA);
    // Without meminfo the free memory of the system query stands in.
    EXPECT_GT(+record.mem_avail_kib, 0u);
    EXPECT_LE(+record.mem_avail_kib, +record.mem_total_kib);
}

TEST_F(BoardSnapshotTest, InterfaceThatDoesNotExistHasNoAddress)
{
    std::uint32_t address = 1, netmask = 1;
    EXPECT_EQ(ctl_iface_ipv4("nosuchif0", address, netmask), 0);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(netmask, 0u);
    EXPECT_EQ(ctl_iface_ipv4("lo", address, netmask), 0);
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(netmask, htonl(0xff000000));
}

}  // namespace

namespace {

// A configured modem interface and card directory replace the usual ones, not join them.
TEST(ConfiguredNames, RouteAndCardMountFollowTheConfiguration)
{
    const std::string wwan0 = std::string(ROUTE_HEADER) + "wwan0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(sysinfo_default_route(wwan0, "wwan0"), ROUTE_WWAN);
    EXPECT_EQ(sysinfo_default_route(wwan0), ROUTE_NONE);
    const auto mounts = parse_mounts("/dev/mmcblk0p1 /media/card vfat rw 0 0\n"
                                     "/dev/mmcblk0p2 /home/pi/tmData vfat rw 0 0\n");
    EXPECT_EQ(sysinfo_sd_mount(mounts, "/media/card"), "/media/card");
    EXPECT_EQ(sysinfo_sd_mount(mounts), "/home/pi/tmData");
}

}  // namespace
