// The storage, power-monitor, remote-terminal and version handlers on a simulated board.
#include "ctl_storage.h"
#include "sdcard_recovery.h"
#include "tesmar_version.h"
#include "storage_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstring>

namespace {

class StorageCommandTest : public StorageBoardTest {
protected:
    void SetUp() override
    {
        StorageBoardTest::SetUp();
        base_table = mounts();
        sdcard_recovery_init();  // no eject hold left from another test
    }

    // Runs HANDLER and returns its reply's bytes.
    std::vector<std::uint8_t> reply_of(ctl_handler handler)
    {
        ctl_reply reply{};
        ControlRequest request{};
        std::size_t size = handler(request, reply);
        return {reply.bytes, reply.bytes + size};
    }
    // Runs the eject; its console lines go to OUT and ERR.
    SdCardRemoveReply remove(std::string *out = nullptr, std::string *err = nullptr)
    {
        ctl_reply reply{};
        StreamCapture out_capture(STDOUT_FILENO);
        StreamCapture err_capture(STDERR_FILENO);
        std::size_t size = ctl_sdcard_remove(ControlRequest{}, reply);
        if (out != nullptr)
            *out = out_capture.text();
        if (err != nullptr)
            *err = err_capture.text();
        EXPECT_EQ(size, sizeof(SdCardRemoveReply));
        return reply.sdcard_remove;
    }
    SdCardStatusRecord status()
    {
        ctl_reply reply{};
        EXPECT_EQ(ctl_sdcard_status(ControlRequest{}, reply), sizeof(SdCardStatusRecord));
        return reply.sdcard_status;
    }
    // Mounts the card's partition at each of PATHS (created under the board).
    void mount_card(const std::vector<std::string> &paths)
    {
        for (const std::string &path : paths)
            ASSERT_EQ(sdcard(board, {"mount", path}), 0) << path;
    }
    unsigned long long size_kib(const std::string &path, bool free_only = false) const
    {
        struct statvfs stats {};
        statvfs(board.path(path).c_str(), &stats);
        return (static_cast<unsigned long long>(stats.f_frsize) * (free_only ? stats.f_bfree : stats.f_blocks)) >> 10;
    }
    void set_ina236(const std::string &dir, const std::string &name, std::map<std::string, std::string> files)
    {
        std::string path = board.path("/sys/class/hwmon/" + dir);
        mkdir(path.c_str(), 0755);
        write_file(path + "/name", name);
        for (const auto &[file, value] : files)
            write_file(path + "/" + file, value);
    }

    std::string base_table;
};

TEST_F(StorageCommandTest, VersionIsExactly35CharactersWithoutTerminator)
{
    std::vector<std::uint8_t> reply = reply_of(ctl_version);
    EXPECT_EQ(std::string(reply.begin(), reply.end()),
              "v1.5.0 git:" TESMAR_VERSION_GIT " built:" TESMAR_VERSION_DATE);
}

TEST_F(StorageCommandTest, Ina236ReadingsTravelHeldToTheirFields)
{
    using bytes = std::vector<std::uint8_t>;
    const struct {
        const char *what;
        std::function<void()> prepare;
        bytes reply;
    } cases[] = {
        {"board's readings", [] {}, {0, 0x02, 0x2F, 0xFA, 0x00, 0xF4, 0xE7, 0x2D, 0x00, 0, 0, 0, 0, 0, 0, 0}},
        {"negative current",
         [&] { write_file(board.path("/sys/class/hwmon/hwmon1/curr1_input"), "-150\n"); },
         {0, 0x02, 0x2F, 0x6A, 0xFF, 0xF4, 0xE7, 0x2D, 0x00, 0, 0, 0, 0, 0, 0, 0}},
        {"power unreadable",
         [&] { unlink(board.path("/sys/class/hwmon/hwmon1/power1_input").c_str()); },
         {0, 0x02, 0x2F, 0x6A, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"bus voltage missing",
         [&] { unlink(board.path("/sys/class/hwmon/hwmon1/in1_input").c_str()); },
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"another ina236 with a bus voltage beyond the field",
         [&] { set_ina236("hwmon7", "ina236_b\n", {{"in1_input", "70000"}}); },
         {0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"no hwmon class",
         [&] { ASSERT_EQ(run_program({"/bin/rm", "-rf", board.path("/sys/class/hwmon")}, {}).status, 0); },
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    set_ina236("hwmon0", "cpu_thermal\n", {{"in1_input", "1"}});
    set_ina236("hwmon2", "ina2\n", {{"in1_input", "2"}});
    for (const auto &c : cases) {
        c.prepare();
        EXPECT_EQ(reply_of(ctl_read_ina236), c.reply) << c.what;
    }
}

TEST_F(StorageCommandTest, RemoteTerminalRepliesFollowTheService)
{
    std::vector<std::uint8_t> ok(16, 0), active(16, 0);
    active[1] = 1;
    EXPECT_EQ(reply_of(ctl_rtty_status), ok);
    EXPECT_EQ(reply_of(ctl_rtty_on), ok);
    EXPECT_EQ(reply_of(ctl_rtty_status), active);
    EXPECT_EQ(reply_of(ctl_rtty_off), ok);
    EXPECT_EQ(reply_of(ctl_rtty_status), ok);
    EXPECT_EQ(calls("systemctl"), (std::vector<std::string>{
                                      "[is-active] [--quiet] [rtty]", "[enable] [rtty]", "[start] [rtty]",
                                      "[is-active] [--quiet] [rtty]", "[stop] [rtty]", "[disable] [rtty]",
                                      "[is-active] [--quiet] [rtty]"}));

    // Without the service the switch says it failed, and the query says inactive.
    ASSERT_EQ(run_program({"/bin/rm", "-rf", board.path("/sim/services/rtty")}, {}).status, 0);
    std::vector<std::uint8_t> failed(16, 0);
    failed[0] = STATUS_FAILED;
    EXPECT_EQ(reply_of(ctl_rtty_on), failed);
    EXPECT_EQ(reply_of(ctl_rtty_off), failed);
    EXPECT_EQ(reply_of(ctl_rtty_status), ok);
}

TEST_F(StorageCommandTest, RemoveWithoutCardMountAnswersNone)
{
    for (const std::string &table : {base_table, base_table + "/dev/mmcblk0p1 /home/pi vfat rw 0 0\n"}) {
        set_mounts(table);
        std::string out;
        SdCardRemoveReply reply = remove(&out);
        EXPECT_EQ(reply.result, SDCARD_REMOVE_NONE);
        EXPECT_EQ(reply.found + reply.unmounted + reply.killed, 0);
        EXPECT_EQ(out, "SDCARD: No SD card to remove\n");
    }
    unlink(board.path("/proc/mounts").c_str());
    std::string out;
    EXPECT_EQ(remove(&out).result, SDCARD_REMOVE_NONE);
    EXPECT_EQ(out, "");  // an unreadable table is not reported
    EXPECT_TRUE(calls("fuser").empty());
}

TEST_F(StorageCommandTest, RemoveKillsUsersUnmountsAndRemovesTheDirectories)
{
    mount_card({"/home/pi/tmData", "/home/pi/my card", "/home/pi/it's"});
    ASSERT_EQ(sdcard(board, {"use", "812", "/home/pi/my card"}), 0);
    ASSERT_EQ(sdcard(board, {"use", "907", "/home/pi/my card"}), 0);
    ASSERT_EQ(sdcard(board, {"use", "913", "/home/pi/it's"}), 0);
    ASSERT_EQ(sdcard(board, {"use", "913", "/home/pi/tmData"}), 0);  // one process, two mounts
    std::string out;
    auto begin = std::chrono::steady_clock::now();
    SdCardRemoveReply reply = remove(&out);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
    EXPECT_EQ(reply.status, STATUS_OK);
    EXPECT_EQ(reply.result, SDCARD_REMOVE_OK);
    EXPECT_EQ(reply.found, 3);
    EXPECT_EQ(reply.unmounted, 3);
    EXPECT_EQ(reply.killed, 3);  // processes, each once
    EXPECT_TRUE(sdcard_recovery_eject_held());
    EXPECT_EQ(std::vector<std::uint8_t>(reply.unused, reply.unused + 11), std::vector<std::uint8_t>(11, 0));

    // fuser -km prints the ids it killed on the daemon's console, without a newline.
    std::vector<std::string> logged;
    for (const std::string &line : lines_with(out, "SDCARD: "))
        logged.push_back(line.substr(line.find("SDCARD: ")));
    EXPECT_EQ(logged, (std::vector<std::string>{
                                        "SDCARD: Killed processes on /home/pi/tmData",
                                        "SDCARD: Killed processes on /home/pi/my card",
                                        "SDCARD: Killed processes on /home/pi/it's",
                                        "SDCARD: Lazy-unmounted /home/pi/tmData",
                                        "SDCARD: Lazy-unmounted /home/pi/my card",
                                        "SDCARD: Lazy-unmounted /home/pi/it's",
                                        "SDCARD: Remove complete \u2014 3/3 unmounted, 3 processes killed",
                                    }));
    EXPECT_EQ(mounts(), base_table);
    for (const char *dir : {"/home/pi/tmData", "/home/pi/my card", "/home/pi/it's"})
        EXPECT_FALSE(file_exists(board.path(dir))) << dir;
    EXPECT_EQ(read_file(board.path("/sim/card/users")), "");
    // The kill is only ever asked for a card mount, named exactly.
    std::vector<std::string> kills = lines_with(read_file(board.path("/sim/bin/fuser.log")), "-km");
    EXPECT_EQ(kills, (std::vector<std::string>{"[-km] [/home/pi/tmData]", "[-km] [/home/pi/my card]",
                                               "[-km] [/home/pi/it's]"}));
    EXPECT_EQ(calls("rm"), std::vector<std::string>{"[-f] [/tmp/.automount-homepi-*]"});
}

TEST_F(StorageCommandTest, RemoveReportsPartialResults)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 17; i++)
        paths.push_back("/home/pi/p" + std::to_string(i));
    mount_card(paths);
    std::string out, err;
    SdCardRemoveReply reply = remove(&out);
    EXPECT_EQ(reply.result, SDCARD_REMOVE_PARTIAL);
    EXPECT_EQ(reply.found, 17);
    EXPECT_EQ(reply.unmounted, 16);
    EXPECT_EQ(lines_with(mounts(), "mmcblk0"), std::vector<std::string>{"/dev/mmcblk0p1 /home/pi/p16 vfat rw,relatime,fmask=0007,dmask=0007,gid=6 0 0"});
    EXPECT_NE(out.find("SDCARD: Remove complete \u2014 16/17 unmounted, 0 processes killed\n"), std::string::npos);

    // A failing unmount: logged as an error, the other mounts still handled.
    mount_card({"/home/pi/a"});
    ASSERT_EQ(sdcard(board, {"fail", "umount", "1"}), 0);
    reply = remove(nullptr, &err);
    EXPECT_EQ(reply.result, SDCARD_REMOVE_PARTIAL);
    EXPECT_EQ(reply.found, 2);
    EXPECT_EQ(reply.unmounted, 1);
    EXPECT_EQ(err, "SDCARD: Failed to unmount /home/pi/p16\n");
    EXPECT_EQ(lines_with(mounts(), "mmcblk0").size(), 1u);
    EXPECT_FALSE(sdcard_recovery_eject_held());
}

TEST_F(StorageCommandTest, RemoveSucceedsOnlyOnceTheMountsLeftTheTable)
{
    const struct {
        const char *what;
        std::string umount;  // the stand-in, "" for the board's own
        std::uint8_t result, unmounted;
        const char *err;
    } cases[] = {
        {"unmounted", "", SDCARD_REMOVE_OK, 1, ""},
        {"umount says yes, mount stays", "#!/bin/sh\nexit 0\n", SDCARD_REMOVE_PARTIAL, 0,
         "SDCARD: Failed to unmount /home/pi/tmData\n"},
    };
    for (const auto &c : cases) {
        sdcard_recovery_init();
        set_mounts(base_table);
        mount_card({"/home/pi/tmData"});
        if (!c.umount.empty()) {
            write_file(board.path("/sim/bin/umount"), c.umount);
            chmod(board.path("/sim/bin/umount").c_str(), 0755);
        }
        std::string err;
        SdCardRemoveReply reply = remove(nullptr, &err);
        EXPECT_EQ(reply.result, c.result) << c.what;
        EXPECT_EQ(reply.unmounted, c.unmounted) << c.what;
        EXPECT_EQ(err, c.err) << c.what;
        EXPECT_EQ(sdcard_recovery_eject_held(), c.result == SDCARD_REMOVE_OK) << c.what;
    }
}

TEST_F(StorageCommandTest, StatusListsMountsAndUsers)
{
    mount_card({"/home/pi/tmData", "/home/pi/my card"});
    ASSERT_EQ(sdcard(board, {"use", "812", "/home/pi/tmData"}), 0);
    ASSERT_EQ(sdcard(board, {"use", "907", "/home/pi/my card"}), 0);
    SdCardStatusRecord record = status();
    EXPECT_EQ(record.version, 1);
    EXPECT_EQ(record.status, 0);
    EXPECT_EQ(record.partitions, 2);
    EXPECT_EQ(std::uint64_t{record.total_kib}, size_kib("/home/pi/tmData") + size_kib("/home/pi/my card"));
    EXPECT_NEAR(static_cast<double>(record.free_kib), 2.0 * size_kib("/home/pi/tmData", true), 4096.0);
    EXPECT_EQ(std::uint32_t{record.process_count}, 2u);
    EXPECT_STREQ(record.mounts, "/home/pi/tmData,/home/pi/my card");
    EXPECT_STREQ(record.processes, "812,907");
    EXPECT_EQ(calls("fuser"), (std::vector<std::string>{"[-m] [/home/pi/tmData]", "[-m] [/home/pi/my card]"}));
}

TEST_F(StorageCommandTest, StatusListsAreCutAtTheirFieldsButAllIsCounted)
{
    // 4 mount points of 30 characters: three fit in 95 characters with their commas.
    std::vector<std::string> paths;
    for (char c : {'a', 'b', 'c', 'd'})
        paths.push_back("/home/pi/" + std::string(21, c));
    mount_card(paths);
    for (int pid = 100000; pid < 100020; pid++)
        ASSERT_EQ(sdcard(board, {"use", std::to_string(pid), paths[0]}), 0);
    SdCardStatusRecord record = status();
    EXPECT_EQ(record.partitions, 4);
    EXPECT_EQ(std::string(record.mounts), paths[0] + "," + paths[1] + "," + paths[2]);
    EXPECT_EQ(std::uint32_t{record.process_count}, 20u);
    // 6-digit ids: 13 fit (13 * 7 - 1 = 90; a 14th would need 90 + 6 + 2 > 95).
    std::string listed;
    for (int pid = 100000; pid < 100013; pid++)
        listed += (listed.empty() ? "" : ",") + std::to_string(pid);
    EXPECT_EQ(std::string(record.processes), listed);
    EXPECT_EQ(record.mounts[95], '\0');

    // A flooded table: everything counted, fuser asked about the first 16 mounts only.
    std::string flood = base_table;
    for (int i = 0; i < 1000; i++)
        flood += "/dev/mmcblk0p1 /home/pi/m" + std::to_string(i) + " vfat rw 0 0\n";
    set_mounts(flood);
    unlink(board.path("/sim/bin/fuser.log").c_str());
    record = status();
    EXPECT_EQ(record.partitions, 1000 & 0xff);
    EXPECT_EQ(calls("fuser").size(), 16u);
    EXPECT_EQ(calls("fuser").back(), "[-m] [/home/pi/m15]");

    set_mounts(base_table);
    record = status();
    SdCardStatusRecord empty{};
    empty.version = 1;
    empty.status = 1;
    EXPECT_EQ(std::memcmp(&record, &empty, sizeof record), 0);
}

}  // namespace

namespace {

TEST_F(StorageCommandTest, NoKillWhenTheMountVanishedBeforeIt)
{
    mount_card({"/home/pi/tmData"});
    // A fuser whose first look coincides with the recovery unmounting the card.
    write_file(board.path("/sim/bin/fuser"), "#!/bin/sh\necho \"[$*]\" >> \"$0.log\"\n"
                                             "case $1 in -m) sed -i '/mmcblk0/d' \"" +
                                                 board.path("/proc/mounts") + "\";; esac\n");
    chmod(board.path("/sim/bin/fuser").c_str(), 0755);
    SdCardRemoveReply reply = remove();
    EXPECT_EQ(read_file(board.path("/sim/bin/fuser.log")), "[-m /home/pi/tmData]\n");
    EXPECT_EQ(reply.found, 1);
    EXPECT_EQ(reply.unmounted, 0);
    EXPECT_EQ(reply.result, SDCARD_REMOVE_PARTIAL);
}

}  // namespace
