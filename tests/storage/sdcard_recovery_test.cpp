// The recovery thread on a simulated board with the driver's kernel side running, fast
// pauses, and the board's web service listening in a private network.
#include "ctl_storage.h"
#include "led.h"
#include "private_net.h"
#include "sdcard_recovery.h"
#include "storage_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

namespace {

class RecoveryTest : public StorageBoardTest {
protected:
    void SetUp() override
    {
        StorageBoardTest::SetUp();
        listener = listen_for_notifications_if_possible();
        if (listener) {
            ASSERT_TRUE(listener->listening());
        }
        driver = std::make_unique<MmcDriver>(board);
        ASSERT_TRUE(driver->running());
        {
            StreamCapture out(STDOUT_FILENO);
            led_init();
        }
        sdcard_recovery_set_timing(fast);
        sdcard_recovery_init();
        err = std::make_unique<StreamCapture>(STDERR_FILENO);
    }
    void TearDown() override { sdcard_recovery_stop(); }

    std::string log() const { return err->text(); }
    bool logged(const std::string &line, std::chrono::milliseconds timeout = 10s) const
    {
        return err->wait_for("SDCARD: " + line + "\n", timeout);
    }
    std::vector<std::string> transitions() const { return lines_with(log(), "SDCARD: state: "); }
    std::string storage_led() const { return board.led(LED_STORAGE + 1, "trigger") + "/" + board.led(LED_STORAGE + 1, "brightness"); }

    // The notifications received are exactly EVENTS (in order), once they all arrived.
    void expect_notifications(const std::vector<std::string> &events) const
    {
        if (!listener)
            return;
        EXPECT_TRUE(wait_until([&] { return listener->events().size() >= events.size(); }));
        std::this_thread::sleep_for(300ms);  // room for a wrong, extra one to arrive
        EXPECT_EQ(listener->events(), events);
    }

    std::unique_ptr<NotifyListener> listener;
    std::unique_ptr<MmcDriver> driver;
    std::unique_ptr<StreamCapture> err;
    sdcard_recovery_timing fast{250ms, 400ms, 20ms, 500ms, 100ms};
};

TEST_F(RecoveryTest, ReadOnlyCardIsResetAndRemountedWithOneNotification)
{
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/tmData"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: MOUNTED"));
    EXPECT_NE(log().find("SDCARD: MMC address: mmc0:aaaa\n"), std::string::npos);
    EXPECT_EQ(storage_led(), "none/255");

    ASSERT_EQ(sdcard(board, {"readonly"}), 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
    EXPECT_EQ(transitions(), (std::vector<std::string>{
                                 "SDCARD: state: MOUNTED \u2192 DEGRADED",
                                 "SDCARD: state: DEGRADED \u2192 UNBOUND",
                                 "SDCARD: state: UNBOUND \u2192 REMOUNTING",
                                 "SDCARD: state: REMOUNTING \u2192 MOUNTED",
                             }));
    for (const char *line : {"mount is read-only (options: ro,relatime)", "health check failed: 3",
                             "unmounted /home/pi/tmData", "unbound MMC device mmc0:aaaa", "card detected after bind",
                             "recovery successful"})
        EXPECT_NE(log().find(std::string("SDCARD: ") + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(read_file(board.path("/sim/mmc.log")), "unbind mmc0:aaaa\nbind mmc0:aaaa\n");
    EXPECT_EQ(lines_with(mounts(), "mmcblk0"),
              std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/tmData vfat rw,relatime,umask=007,gid=6 0 0"});
    EXPECT_EQ(sdcard_recovery_get_state(), MOUNTED);
    EXPECT_TRUE(wait_until([&] { return storage_led() == "none/255"; }));

    expect_notifications({"event=sdcard_recovered"});
}

TEST_F(RecoveryTest, ThreeFailedRemountsUnbindThenTheCardIsMountedOnceMountWorks)
{
    ASSERT_EQ(sdcard(board, {"insert"}), 0);
    ASSERT_EQ(sdcard(board, {"fail", "systemd-mount", "always"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: UNBOUND"));
    ASSERT_TRUE(logged("max retries reached, unbinding"));
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 UNBOUND"));
    EXPECT_EQ(lines_with(log(), "remount attempt"),
              (std::vector<std::string>{"SDCARD: remount attempt 1/3 failed", "SDCARD: remount attempt 2/3 failed",
                                        "SDCARD: remount attempt 3/3 failed"}));
    EXPECT_EQ(lines_with(log(), "systemd-mount failed (exit 1)").size(), 3u);
    EXPECT_NE(log().find("card detected (auto-bound by kernel)"), std::string::npos);
    ASSERT_TRUE(wait_until([&] { return storage_led() == "none/0"; }));

    // The count starts again from zero: after the bind the card gets three new attempts.
    ASSERT_EQ(sdcard(board, {"fail", "systemd-mount", "0"}), 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
    EXPECT_EQ(lines_with(log(), "remount attempt").size(), 3u);
    EXPECT_NE(log().find("SDCARD: card detected after bind\n"), std::string::npos);
    EXPECT_NE(mounts().find("/dev/mmcblk0p1 /home/pi/tmData vfat"), std::string::npos);
    expect_notifications({"event=sdcard_recovered"});
}

TEST_F(RecoveryTest, WithoutCardItWaitsUnboundQuietlyUntilOneIsInserted)
{
    // An on-board eMMC beside the slot: its device entry must never be taken for the card.
    std::string emmc = board.path("/sys/devices/platform/emmc/mmc1/mmc1:0001");
    ASSERT_EQ(run_program({"/bin/mkdir", "-p", emmc + "/block/mmcblk1"}, {}).status, 0);
    ASSERT_EQ(symlink("../../../../devices/platform/emmc/mmc1/mmc1:0001",
                      board.path("/sys/bus/mmc/drivers/mmcblk/mmc1:0001").c_str()),
              0);
    write_file(board.path("/sys/bus/mmc/drivers/mmcblk/new_id"), "");

    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: UNBOUND"));
    EXPECT_NE(log().find("SDCARD: MMC address: (not found)\n"), std::string::npos);
    std::this_thread::sleep_for(600ms);  // several polls
    EXPECT_TRUE(transitions().empty()) << log();
    EXPECT_FALSE(file_exists(board.path("/sim/mmc.log")));
    EXPECT_TRUE(calls("systemd-mount").empty());
    EXPECT_EQ(storage_led(), "none/0");

    ASSERT_EQ(sdcard(board, {"insert"}), 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
    EXPECT_NE(log().find("card detected (auto-bound by kernel)"), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return storage_led() == "none/255"; }));
}

TEST_F(RecoveryTest, CardMountVanishingIsMountedAgainWithoutReset)
{
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/my card"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: MOUNTED"));

    // What an eject leaves: the card in its slot, bound, its mount gone.
    ASSERT_EQ(run_program({board.path("/sim/bin/umount"), "-l", "/home/pi/my card"}, board.env()).status, 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
    EXPECT_EQ(transitions(), (std::vector<std::string>{
                                 "SDCARD: state: MOUNTED \u2192 UNBOUND",
                                 "SDCARD: state: UNBOUND \u2192 REMOUNTING",
                                 "SDCARD: state: REMOUNTING \u2192 MOUNTED",
                             }));
    EXPECT_NE(log().find("SDCARD: mount disappeared, card may have been removed\n"), std::string::npos);
    EXPECT_NE(log().find("SDCARD: card detected (auto-bound by kernel)\n"), std::string::npos);
    EXPECT_FALSE(file_exists(board.path("/sim/mmc.log")));  // no reset needed
}

TEST_F(RecoveryTest, LabelsMountOneDirectoryBelowHomeAndRunNothing)
{
    const struct {
        std::string label;
        std::string mount_point;  // as the table writes it
    } cases[] = {
        {"x'; touch /tmp/pwned; '", "/home/pi/mmcblk0"},
        {"../../etc", "/home/pi/mmcblk0"},
        {"", "/home/pi/mmcblk0"},
        {"..", "/home/pi/mmcblk0"},
        {"Data 2024", "/home/pi/Data\\0402024"},
        {"it's $(touch pwned) `touch pwned2` \\", "/home/pi/it's\\040$(touch\\040pwned)\\040`touch\\040pwned2`\\040\\134"},
    };
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: UNBOUND"));
    int mounted = 0;
    for (const auto &c : cases) {
        ASSERT_EQ(sdcard(board, {"label", c.label}), 0);
        ASSERT_EQ(sdcard(board, {"insert"}), 0);
        ++mounted;
        ASSERT_TRUE(wait_until([&] { return lines_with(log(), "recovery successful").size() == std::size_t(mounted); }, 10s))
            << c.label << "\n" << log();
        EXPECT_EQ(lines_with(mounts(), "mmcblk0"),
                  std::vector<std::string>{"/dev/mmcblk0p1 " + c.mount_point + " vfat rw,relatime,umask=007,gid=6 0 0"})
            << c.label;
        ASSERT_EQ(sdcard(board, {"remove"}), 0);
        ASSERT_TRUE(wait_until([] { return sdcard_recovery_get_state() == UNBOUND; }));
    }
    for (const char *stray : {"/tmp/pwned", "pwned", "pwned2"})
        EXPECT_FALSE(file_exists(stray)) << stray;
    // Nothing was created outside the mount base but the automount base's units.
    EXPECT_FALSE(file_exists(board.path("/etc")));
    EXPECT_FALSE(file_exists(board.root() + "/../etc/mmcblk0"));
}

TEST_F(RecoveryTest, PlantedLinkAtTheMountPointIsNotFollowed)
{
    ASSERT_EQ(mkdir(board.path("/elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(symlink(board.path("/elsewhere").c_str(), board.path("/home/pi/tmData").c_str()), 0);
    ASSERT_EQ(sdcard(board, {"insert"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("remount attempt 1/3 failed"));
    EXPECT_NE(log().find("SDCARD: mount point /home/pi/tmData is not a directory\n"), std::string::npos);
    EXPECT_TRUE(calls("systemd-mount").empty());
}

TEST_F(RecoveryTest, StopEndsThePollPauseAtOnce)
{
    sdcard_recovery_set_timing({});  // the board's 3-second poll
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: UNBOUND"));
    EXPECT_EQ(sdcard_recovery_start(), 0);  // already running: no second thread
    auto begin = std::chrono::steady_clock::now();
    sdcard_recovery_stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);  // half the poll
    EXPECT_NE(log().find("SDCARD: recovery thread stopped\n"), std::string::npos);
    EXPECT_EQ(lines_with(log(), "recovery thread started (poll=3s)").size(), 1u);
    sdcard_recovery_cleanup();  // stopped already: nothing to do
}

TEST_F(RecoveryTest, EjectedCardStaysUnmountedUntilTakenOutAndPutBack)
{
    fast.poll = 50ms;
    fast.hold_watch = 20ms;
    sdcard_recovery_set_timing(fast);
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/tmData"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: MOUNTED"));
    ctl_reply reply{};
    {
        StreamCapture out(STDOUT_FILENO);
        ctl_sdcard_remove(ControlRequest{}, reply);
    }
    ASSERT_EQ(reply.sdcard_remove.result, SDCARD_REMOVE_OK);
    ASSERT_TRUE(logged("card ejected: it stays unmounted until it is taken out of its slot"));
    EXPECT_TRUE(wait_until([&] { return storage_led() == "none/0"; }));

    // 60 seconds' worth of the board's polls, the card still in its slot.
    std::this_thread::sleep_for(20 * fast.poll);
    EXPECT_EQ(transitions(), std::vector<std::string>{"SDCARD: state: MOUNTED \u2192 UNBOUND"});
    EXPECT_TRUE(sdcard_recovery_eject_held());
    EXPECT_TRUE(calls("systemd-mount").empty());
    EXPECT_FALSE(file_exists(board.path("/sim/mmc.log")));  // neither reset nor bound
    EXPECT_TRUE(lines_with(mounts(), "mmcblk0").empty());
    EXPECT_EQ(storage_led(), "none/0");
    reply = {};
    ctl_sdcard_status(ControlRequest{}, reply);
    EXPECT_EQ(reply.sdcard_status.status, 1);

    ASSERT_EQ(sdcard(board, {"remove"}), 0);
    ASSERT_TRUE(logged("card taken out: eject hold released"));
    EXPECT_FALSE(sdcard_recovery_eject_held());
    ASSERT_EQ(sdcard(board, {"insert"}), 0);
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
    EXPECT_EQ(lines_with(mounts(), "mmcblk0"),
              std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/tmData vfat rw,relatime,umask=007,gid=6 0 0"});
    EXPECT_TRUE(wait_until([&] { return storage_led() == "none/255"; }));
}

TEST_F(RecoveryTest, MountWaitingForItsFileSystemCheckIsPendingNeverFailed)
{
    // The check outlasts the wait for the mount, and three attempts' worth of polls.
    ASSERT_EQ(sdcard(board, {"check", "2.5"}), 0);
    ASSERT_EQ(sdcard(board, {"insert"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("mount at /home/pi/tmData pending: systemd is still checking or mounting the file system"));
    ASSERT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
    EXPECT_TRUE(lines_with(log(), "remount attempt").empty()) << log();
    EXPECT_EQ(calls("systemd-mount").size(), 1u);  // the queued mount was never replaced
    EXPECT_FALSE(file_exists(board.path("/sim/mmc.log")));  // never unbound
    EXPECT_EQ(lines_with(mounts(), "mmcblk0"),
              std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/tmData vfat rw,relatime,umask=007,gid=6 0 0"});
    expect_notifications({"event=sdcard_recovered"});
}

// The recovery has the card in its slot but unmounted; an eject then holds it so.
struct UnmountedCase {
    const char *name;
    std::vector<std::vector<std::string>> board_steps;  // sim/sdcard commands before the start
    const char *reached;                                 // the log line that says the state is reached
    bool bound;                                          // whether the card is bound then
};

class EjectWhileUnmountedTest : public RecoveryTest, public testing::WithParamInterface<UnmountedCase> {};

TEST_P(EjectWhileUnmountedTest, EjectHoldsTheCardAndSaysItIsSafeToPull)
{
    for (const std::vector<std::string> &step : GetParam().board_steps)
        ASSERT_EQ(sdcard(board, step), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged(GetParam().reached));
    // The kernel's side of an unbind is done once the write returns; the simulated one lags.
    ASSERT_TRUE(wait_until([&] { return file_exists(board.path("/dev/mmcblk0p1")) == GetParam().bound; }));
    ctl_reply reply{};
    {
        StreamCapture out(STDOUT_FILENO);
        ctl_sdcard_remove(ControlRequest{}, reply);
    }
    EXPECT_EQ(reply.sdcard_remove.result, SDCARD_REMOVE_OK);
    EXPECT_EQ(reply.sdcard_remove.found, 0);
    EXPECT_TRUE(sdcard_recovery_eject_held());

    // Whatever held the mount back clears; many polls later the card is still unmounted.
    ASSERT_EQ(sdcard(board, {"check", "0"}), 0);
    ASSERT_EQ(sdcard(board, {"fail", "systemd-mount", "0"}), 0);
    std::this_thread::sleep_for(12 * fast.poll);
    EXPECT_TRUE(lines_with(mounts(), "mmcblk0").empty()) << log();
    EXPECT_TRUE(sdcard_recovery_eject_held());
    ASSERT_EQ(sdcard(board, {"remove"}), 0);
    EXPECT_TRUE(logged("card taken out: eject hold released"));
}

INSTANTIATE_TEST_SUITE_P(
    States, EjectWhileUnmountedTest,
    testing::Values(UnmountedCase{"RemountWaitingForItsCheck", {{"check", "30"}, {"insert"}},
                                  "mount at /home/pi/tmData pending: systemd is still checking or mounting the file system", true},
                    UnmountedCase{"UnboundAfterFailedRemounts", {{"insert"}, {"fail", "systemd-mount", "always"}},
                                  "state: REMOUNTING \u2192 UNBOUND", false}),
    [](const testing::TestParamInfo<UnmountedCase> &param) { return param.param.name; });

TEST_F(RecoveryTest, CardOutForLessThanOneLookIsSeenLeaving)
{
    fast.hold_watch = 1500ms;
    fast.poll = 1500ms;
    sdcard_recovery_set_timing(fast);
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/tmData"}), 0);
    ASSERT_EQ(sdcard_recovery_start(), 0);
    ASSERT_TRUE(logged("initial state: MOUNTED"));
    ctl_reply reply{};
    {
        StreamCapture out(STDOUT_FILENO);
        ctl_sdcard_remove(ControlRequest{}, reply);
    }
    ASSERT_EQ(reply.sdcard_remove.result, SDCARD_REMOVE_OK);
    ASSERT_TRUE(logged("state: MOUNTED \u2192 UNBOUND"));
    // Out and back in within a millisecond or so, far less than one look: the node goes
    // and comes as the kernel's does.
    const std::string node = board.path("/dev/mmcblk0p1");
    ASSERT_EQ(run_program({"/bin/sh", "-c", "rm -f \"$0\" && echo card > \"$0\"", node}, {}).status, 0);
    ASSERT_TRUE(logged("card taken out: eject hold released"));
    EXPECT_TRUE(logged("state: REMOUNTING \u2192 MOUNTED"));
}

}  // namespace
