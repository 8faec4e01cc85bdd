// The shipped daemon's SD card handling on a simulated board: the recovery walk, hostile
// labels, and the eject and status records, with the board's web service listening in a
// private network.
#include "ctl_test_peer.h"
#include "private_net.h"
#include "sdcard_board.h"
#include "tesmar_version.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <cstring>
#include <memory>

namespace {

class DaemonSdcardTest : public testing::Test {
protected:
    void SetUp() override
    {
        listener = listen_for_notifications_if_possible();
        if (listener) {
            ASSERT_TRUE(listener->listening());
        }
        driver = std::make_unique<MmcDriver>(board);
    }

    void start_daemon()
    {
        daemon = std::make_unique<DaemonProcess>(board);
        ASSERT_TRUE(daemon->wait_for_output("All services started")) << daemon->err();
    }
    bool logged(const std::string &line, std::size_t times = 1, std::chrono::milliseconds timeout = 30s) const
    {
        return wait_until([&] { return lines_with(daemon->err(), "SDCARD: " + line).size() >= times; }, timeout);
    }
    std::vector<std::uint8_t> ask(std::uint8_t cmd, std::size_t size) const
    {
        ctl_peer peer(board.path(CTL_SOCKET_PATH));
        if (!peer.send(request_bytes(cmd)))
            return {};
        return peer.receive_exactly(size, 10s);
    }
    std::vector<std::string> card_mounts() const
    {
        return lines_with(read_file(board.path("/proc/mounts")), "mmcblk0");
    }

    SimBoard board;
    std::unique_ptr<NotifyListener> listener;
    std::unique_ptr<MmcDriver> driver;
    std::unique_ptr<DaemonProcess> daemon;
};

TEST_F(DaemonSdcardTest, ReadOnlyCardIsRecoveredThroughFourStatesWithOneNotification)
{
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/tmData"}), 0);
    start_daemon();
    ASSERT_TRUE(logged("initial state: MOUNTED"));
    ASSERT_EQ(sdcard(board, {"readonly"}), 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED")) << daemon->err();
    EXPECT_EQ(lines_with(daemon->err(), "SDCARD: state:"), (std::vector<std::string>{
                                                               "SDCARD: state: MOUNTED \u2192 DEGRADED",
                                                               "SDCARD: state: DEGRADED \u2192 UNBOUND",
                                                               "SDCARD: state: UNBOUND \u2192 REMOUNTING",
                                                               "SDCARD: state: REMOUNTING \u2192 MOUNTED",
                                                           }));
    EXPECT_EQ(card_mounts(),
              std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/tmData vfat rw,relatime,umask=007,gid=6 0 0"});
    EXPECT_TRUE(wait_until([&] { return board.led(3, "trigger") + "/" + board.led(3, "brightness") == "none/255"; }));
    if (listener) {
        ASSERT_TRUE(wait_until([&] { return listener->count("event=sdcard_recovered") == 1; }));
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(listener->count("event=sdcard_recovered"), 1);
    }
}

TEST_F(DaemonSdcardTest, HostileLabelsRunNothingAndMountOnlyBelowHome)
{
    const std::string pwned = "/tmp/pwned";
    const bool existed = file_exists(pwned);
    start_daemon();
    ASSERT_TRUE(logged("initial state: UNBOUND"));
    int round = 0;
    for (const char *label : {"x'; touch /tmp/pwned; '", "../../etc"}) {
        ++round;
        ASSERT_EQ(sdcard(board, {"label", label}), 0);
        ASSERT_EQ(sdcard(board, {"insert"}), 0);
        ASSERT_TRUE(logged("recovery successful", round)) << daemon->err();
        EXPECT_EQ(card_mounts(),
                  std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/mmcblk0 vfat rw,relatime,umask=007,gid=6 0 0"})
            << label;
        ASSERT_EQ(sdcard(board, {"remove"}), 0);
        ASSERT_TRUE(logged("mount disappeared", round));
    }
    EXPECT_EQ(file_exists(pwned), existed);
    for (const std::string &call : lines_of(read_file(board.path("/sim/bin/systemd-mount.log"))))
        EXPECT_EQ(call, "[--no-block] [-o] [umask=007,gid=6] [-t] [auto] [/dev/mmcblk0p1] [/home/pi/mmcblk0]");
}

TEST_F(DaemonSdcardTest, CardWithBlankInItsMountPointIsListedEjectedAndMountedOnlyOnceReinserted)
{
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/my card"}), 0);
    ASSERT_EQ(sdcard(board, {"use", "812", "/home/pi/my card"}), 0);
    start_daemon();
    ASSERT_TRUE(logged("initial state: MOUNTED"));

    struct statvfs stats {};
    ASSERT_EQ(statvfs(board.path("/home/pi/my card").c_str(), &stats), 0);
    std::vector<std::uint8_t> status = ask(CMD_SDCARD_STATUS, sizeof(SdCardStatusRecord));
    ASSERT_EQ(status.size(), sizeof(SdCardStatusRecord));
    SdCardStatusRecord expected{};
    expected.version = 1;
    expected.partitions = 1;
    expected.total_kib = (static_cast<std::uint64_t>(stats.f_frsize) * stats.f_blocks) >> 10;
    expected.process_count = 1;
    std::strcpy(expected.mounts, "/home/pi/my card");
    std::strcpy(expected.processes, "812");
    SdCardStatusRecord got;
    std::memcpy(&got, status.data(), sizeof got);
    expected.free_kib = got.free_kib;  // moves with whatever else writes to this disk
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << got.mounts << " " << got.processes;

    EXPECT_EQ(ask(CMD_SDCARD_REMOVE, sizeof(SdCardRemoveReply)), reply_bytes(STATUS_OK, {SDCARD_REMOVE_OK, 1, 1, 1}));
    std::vector<std::uint8_t> none(sizeof(SdCardStatusRecord), 0);
    none[0] = none[1] = 1;
    EXPECT_EQ(ask(CMD_SDCARD_STATUS, sizeof(SdCardStatusRecord)), none);
    // Asked again, the held card in its slot is still safe to pull: success, no mounts.
    EXPECT_EQ(ask(CMD_SDCARD_REMOVE, sizeof(SdCardRemoveReply)), reply_bytes(STATUS_OK, {SDCARD_REMOVE_OK, 0, 0, 0}));

    // The card stays in its slot, unmounted, with the storage LED dark, over more than a
    // poll; taken out and put back, it is mounted again under its label.
    ASSERT_TRUE(logged("state: MOUNTED \u2192 UNBOUND", 1, 2s)) << daemon->err();
    EXPECT_TRUE(wait_until([&] { return board.led(3, "trigger") + "/" + board.led(3, "brightness") == "none/0"; }));
    std::this_thread::sleep_for(3500ms);
    EXPECT_TRUE(card_mounts().empty());
    EXPECT_TRUE(lines_with(daemon->err(), "REMOUNTING").empty()) << daemon->err();
    ASSERT_EQ(sdcard(board, {"remove"}), 0);
    ASSERT_TRUE(logged("card taken out: eject hold released")) << daemon->err();
    ASSERT_EQ(sdcard(board, {"insert"}), 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED")) << daemon->err();
    EXPECT_EQ(lines_with(daemon->err(), "SDCARD: state:"), (std::vector<std::string>{
                                                               "SDCARD: state: MOUNTED \u2192 UNBOUND",
                                                               "SDCARD: state: UNBOUND \u2192 REMOUNTING",
                                                               "SDCARD: state: REMOUNTING \u2192 MOUNTED",
                                                           }));
    EXPECT_EQ(card_mounts(),
              std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/tmData vfat rw,relatime,umask=007,gid=6 0 0"});
    if (listener) {
        EXPECT_TRUE(wait_until([&] { return listener->count("event=sdcard_unplug") == 1; }, 10s));
    }
}

TEST_F(DaemonSdcardTest, VersionPowerMonitorAndRemoteTerminal)
{
    start_daemon();
    std::vector<std::uint8_t> version = ask(CMD_VERSION, 35);
    EXPECT_EQ(std::string(version.begin(), version.end()),
              "v1.5.0 git:" TESMAR_VERSION_GIT " built:" TESMAR_VERSION_DATE);
    EXPECT_EQ(ask(CMD_INA236, 16), reply_bytes(STATUS_OK, {0x02, 0x2F, 0xFA, 0x00, 0xF4, 0xE7, 0x2D, 0x00}));
    EXPECT_EQ(ask(CMD_RTTY_STATUS, 16), reply_bytes(STATUS_OK, {0}));
    EXPECT_EQ(ask(CMD_RTTY_ON, 16), reply_bytes(STATUS_OK));
    EXPECT_EQ(ask(CMD_RTTY_STATUS, 16), reply_bytes(STATUS_OK, {1}));
}

}  // namespace
