// The pure rules of the SD card modules: unit names, labels, which mounts are the card's,
// and the health check over a simulated mount table.
#include "ctl_storage.h"
#include "sdcard_mounts.h"
#include "sdcard_recovery.h"
#include "storage_fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(SdcardRules, UnitNamesEscapeAsSystemdDoes)
{
    const struct {
        std::string path;
        std::string unit;
    } cases[] = {
        {"/run/media/tmData-mmcblk0p1", "run-media-tmData\\x2dmmcblk0p1.mount"},
        {"/home/pi/tmData", "home-pi-tmData.mount"},
        {"/home/pi/my card", "home-pi-my\\x20card.mount"},
        {"/home/pi/it's", "home-pi-it\\x27s.mount"},
        {"/home/pi/a\\b", "home-pi-a\\x5cb.mount"},
        {"/home/pi/.hidden", "home-pi-.hidden.mount"},
        {"/.dot", "\\x2edot.mount"},
        {"/home/pi/Fotos_2024:1.x", "home-pi-Fotos_2024:1.x.mount"},
        {"/home/pi/\xc3\xa9t\xc3\xa9", "home-pi-\\xc3\\xa9t\\xc3\\xa9.mount"},
        {"", ".mount"},
        {"home", "home.mount"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mount_unit_name(c.path), c.unit) << c.path;
}

TEST(SdcardRules, UnitNameBodyStopsAtTheCap)
{
    std::string unit = mount_unit_name("/" + std::string(400, 'a'));
    EXPECT_EQ(unit, std::string(284, 'a') + ".mount");
    // An escape is never cut in half.
    unit = mount_unit_name("/" + std::string(283, 'a') + "-bbb");
    EXPECT_EQ(unit, std::string(283, 'a') + "\\x2d.mount");
}

TEST(SdcardRules, LabelsThatCannotNameOneDirectoryFallBack)
{
    const struct {
        std::string output;
        std::string label;
    } cases[] = {
        {"tmData\n", "tmData"},
        {"Data 2024\r\n", "Data 2024"},
        {"it's $(touch pwned) `id` \\ x\n", "it's $(touch pwned) `id` \\ x"},
        {"first\nsecond\n", "first"},
        {std::string(80, 'L') + "\n", std::string(63, 'L')},
        {"", "mmcblk0"},
        {"\n", "mmcblk0"},
        {".\n", "mmcblk0"},
        {"..\n", "mmcblk0"},
        {"...\n", "mmcblk0"},
        {".ssh\n", "mmcblk0"},
        {".config\n", "mmcblk0"},
        {"Desktop\n", "Desktop"},  // not hidden: covered only while mounted, back on eject
        {"v1.2\n", "v1.2"},
        {"x'; touch /tmp/pwned; '\n", "mmcblk0"},
        {"../../etc\n", "mmcblk0"},
        {"a\tb\n", "mmcblk0"},
        {std::string("a\x1b[2Jb\n"), "mmcblk0"},
        {"del\x7f\n", "mmcblk0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sdcard_label_from(c.output), c.label) << c.output;
}

TEST(SdcardRules, CardMountRuleAndPathsBelowABase)
{
    const struct {
        const char *device;
        const char *mount_point;
        bool card;
    } cases[] = {
        {"/dev/mmcblk0p1", "/home/pi/tmData", true},
        {"/dev/mmcblk0", "/home/pi/my card", true},
        {"/dev/mmcblk0p2", "/home/pi/a/b", true},
        {"/dev/mmcblk0p1", "/home/pi", false},
        {"/dev/mmcblk0p1", "/home/pi/", false},
        {"/dev/mmcblk0p1", "/home/pix/data", false},
        {"/dev/mmcblk0p1", "/home/pi/../../etc", false},
        {"/dev/mmcblk0p1", "/home/pi/./x", false},
        {"/dev/mmcblk0p1", "/run/media/tmData-mmcblk0p1", false},
        {"/dev/mmcblk1p1", "/home/pi/tmData", false},
        {"tmpfs", "/home/pi/tmData", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sdcard_is_card_mount({c.device, c.mount_point, "vfat", "rw"}), c.card)
            << c.device << " " << c.mount_point;
}

TEST(SdcardRules, FuserOutputCountsProcessesNotLines)
{
    using pids = std::vector<std::string>;
    const struct {
        std::string text;
        pids expected;
    } cases[] = {
        {"", {}},
        {"  123  456", {"123", "456"}},
        {"   812   907\n", {"812", "907"}},
        {" 1\n 2\n", {"1", "2"}},
        {"\t31\t" + std::string(300, '7') + "\n", {"31", std::string(300, '7')}},
        {"/home/pi/x: 5\n", {"5"}},  // a name that strayed onto standard output is no process
    };
    for (const auto &c : cases)
        EXPECT_EQ(ctl_fuser_pids(c.text), c.expected) << c.text;
}

class HealthCheckTest : public StorageBoardTest {};

TEST_F(HealthCheckTest, CodesFollowTheCardMount)
{
    mkdir(board.path("/home/pi/tmData").c_str(), 0755);
    mkdir(board.path("/home/pi/my card").c_str(), 0755);
    const struct {
        const char *table_line;
        int health;
        const char *log;  // expected in the log, or ""
    } cases[] = {
        {"/dev/mmcblk0p1 /home/pi/tmData vfat rw,relatime 0 0", HEALTH_OK, ""},
        {"/dev/mmcblk0p1 /home/pi/my\\040card vfat rw,relatime 0 0", HEALTH_OK, ""},
        {"/dev/mmcblk0p1 /home/pi/tmData vfat rw,rootcontext=system_u,errors=remount-ro 0 0", HEALTH_OK, ""},
        {"/dev/mmcblk0p1 /home/pi/tmData vfat ro,relatime 0 0", HEALTH_READ_ONLY,
         "SDCARD: mount is read-only (options: ro,relatime)"},
        {"/dev/mmcblk0p1 /home/pi/tmData vfat rw,ro 0 0", HEALTH_READ_ONLY, "read-only"},
        {"/dev/mmcblk0p1 /home/pi/gone vfat rw 0 0", HEALTH_IO_ERROR, "SDCARD: statvfs failed: No such file"},
        {"/dev/mmcblk0p1 /home/pi vfat rw 0 0", HEALTH_NO_MOUNT, ""},
        {"/dev/mmcblk1p1 /home/pi/tmData vfat rw 0 0", HEALTH_NO_MOUNT, ""},
    };
    for (const auto &c : cases) {
        set_mounts(std::string(c.table_line) + "\n");
        int health;
        std::string log;
        {
            StreamCapture err(STDERR_FILENO);
            health = sdcard_health_check();
            log = err.text();
        }
        EXPECT_EQ(health, c.health) << c.table_line;
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
    unlink(board.path("/proc/mounts").c_str());
    EXPECT_EQ(sdcard_health_check(), HEALTH_NO_MOUNT);
}

}  // namespace
