// The presence monitor on a simulated mount table, with the board's web service
// listening in a private network.
#include "private_net.h"
#include "sdcard_monitor.h"
#include "storage_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <memory>

namespace {

const char card_line[] = "/dev/mmcblk0p1 /home/pi/my\\040card vfat rw,relatime 0 0\n";

class PresenceTest : public StorageBoardTest {
protected:
    void SetUp() override
    {
        StorageBoardTest::SetUp();
        mkdir(board.path("/home/pi/my card").c_str(), 0755);
        base_table = mounts();
    }
    void TearDown() override { notify_sdcard_monitor_stop(); }

    // The size the plug-in event must carry: the whole file system, in KiB.
    std::string expected_space() const
    {
        struct statvfs stats {};
        statvfs(board.path("/home/pi/my card").c_str(), &stats);
        return std::to_string((static_cast<unsigned long long>(stats.f_frsize) * stats.f_blocks) >> 10);
    }

    std::string base_table;
};

TEST_F(PresenceTest, ScanSeesOnlyTheCardBelowHome)
{
    const struct {
        std::string line;
        int present;
    } cases[] = {
        {card_line, 1},
        {"/dev/mmcblk0p1 /home/pi vfat rw 0 0\n", 0},
        {"/dev/mmcblk1p1 /home/pi/my\\040card vfat rw 0 0\n", 0},
        {"/dev/sda1 /home/pi/usb vfat rw 0 0\n", 0},
        {"", 0},
    };
    for (const auto &c : cases) {
        set_mounts(base_table + c.line);
        std::uint64_t size = 7;
        EXPECT_EQ(notify_sdcard_scan(&size), c.present) << c.line;
        EXPECT_EQ(std::to_string(size), c.present ? expected_space() : "7") << c.line;
    }
    set_mounts(base_table + "/dev/mmcblk0p1 /home/pi/gone vfat rw 0 0\n");
    std::uint64_t size = 7;
    EXPECT_EQ(notify_sdcard_scan(&size), 1);  // present, size unknown
    EXPECT_EQ(size, 7u);
    unlink(board.path("/proc/mounts").c_str());
    EXPECT_EQ(notify_sdcard_scan(nullptr), 0);
}

TEST_F(PresenceTest, MountAndUnmountSendOneEventEach)
{
    std::string why;
    if (!enter_private_network(why))
        GTEST_SKIP() << why;
    NotifyListener listener;
    ASSERT_TRUE(listener.listening());
    StreamCapture out(STDOUT_FILENO);
    notify_sdcard_set_interval(50ms);
    ASSERT_EQ(notify_sdcard_monitor_start(), 0);
    ASSERT_TRUE(out.wait_for("NOTIFY: SD card monitor started (interval=0s, initial=not mounted)\n"));

    set_mounts(base_table + card_line);
    std::string plugin = "event=sdcard_plugin&space=" + expected_space();
    ASSERT_TRUE(wait_until([&] { return listener.count(plugin) == 1; })) << out.text();
    EXPECT_TRUE(out.wait_for("NOTIFY: sdcard_plugin (space=" + expected_space() + " KB)\n"));

    set_mounts(base_table);
    ASSERT_TRUE(wait_until([&] { return listener.count("event=sdcard_unplug") == 1; }));
    EXPECT_TRUE(out.wait_for("NOTIFY: sdcard_unplug\n"));
    std::this_thread::sleep_for(200ms);  // several scans: no repeated events
    EXPECT_EQ(listener.events(), (std::vector<std::string>{plugin, "event=sdcard_unplug"}));
}

TEST_F(PresenceTest, CardPresentAtStartSendsNothingAndStopIsPrompt)
{
    std::string why;
    if (!enter_private_network(why))
        GTEST_SKIP() << why;
    NotifyListener listener;
    set_mounts(base_table + card_line);
    StreamCapture out(STDOUT_FILENO);
    ASSERT_EQ(notify_sdcard_monitor_start(), 0);  // the board's 2-second interval
    ASSERT_TRUE(out.wait_for("NOTIFY: SD card monitor started (interval=2s, initial=mounted)\n"));
    EXPECT_EQ(notify_sdcard_monitor_start(), 0);
    auto begin = std::chrono::steady_clock::now();
    notify_sdcard_monitor_stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);  // half the interval
    EXPECT_TRUE(out.wait_for("NOTIFY: SD card monitor stopped\n"));
    EXPECT_TRUE(listener.events().empty());
    notify_sdcard_monitor_stop();  // not running: nothing to do
}

}  // namespace
