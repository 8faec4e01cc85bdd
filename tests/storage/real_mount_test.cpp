// Eject and status on real mounts: inside a private user and mount namespace, tmpfs file
// systems named after the card's partition are mounted below /home/pi, a real process
// holds one of them, and the real fuser and umount do the work.
#include "ctl_storage.h"
#include "private_net.h"
#include "sdcard_board.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

// A process that sleeps with its working directory at DIR.
pid_t sleeper_in(const char *dir)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir);
    char sleep[] = "/bin/sleep", sixty[] = "60";
    char *argv[] = {sleep, sixty, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

class RealMountTest : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("TESMAR_GPIO_ROOT");  // the machine's own paths
        std::string why;
        if (!enter_private_mounts(why))
            GTEST_SKIP() << why;
        for (const char *dir : mount_points) {
            ASSERT_EQ(mkdir(dir, 0755), 0) << dir;
            ASSERT_EQ(mount("/dev/mmcblk0p1", dir, "tmpfs", 0, "size=4m"), 0) << dir << ": " << std::strerror(errno);
        }
        ASSERT_EQ(mkdir("/home/pi/other", 0755), 0);
    }
    void TearDown() override
    {
        for (pid_t pid : {holder, bystander}) {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }

    const char *const mount_points[2] = {"/home/pi/card", "/home/pi/my card"};
    pid_t holder = -1, bystander = -1;
};

TEST_F(RealMountTest, StatusAndEjectKillExactlyTheProcessUsingTheCard)
{
    holder = sleeper_in("/home/pi/my card");
    bystander = sleeper_in("/home/pi/other");  // on the file system right below the card
    ASSERT_GT(holder, 0);
    ASSERT_GT(bystander, 0);
    ASSERT_TRUE(wait_until([&] { return read_file("/proc/" + std::to_string(holder) + "/comm") == "sleep\n"; }));

    ctl_reply reply{};
    ASSERT_EQ(ctl_sdcard_status(ControlRequest{}, reply), sizeof(SdCardStatusRecord));
    EXPECT_EQ(reply.sdcard_status.status, 0);
    EXPECT_EQ(reply.sdcard_status.partitions, 2);
    EXPECT_EQ(std::uint64_t{reply.sdcard_status.total_kib}, 8192u);
    EXPECT_STREQ(reply.sdcard_status.mounts, "/home/pi/card,/home/pi/my card");
    EXPECT_EQ(std::uint32_t{reply.sdcard_status.process_count}, 1u);
    EXPECT_EQ(std::string(reply.sdcard_status.processes), std::to_string(holder));

    reply = {};
    {
        StreamCapture out(STDOUT_FILENO);
        ASSERT_EQ(ctl_sdcard_remove(ControlRequest{}, reply), sizeof(SdCardRemoveReply));
    }
    EXPECT_EQ(reply.sdcard_remove.result, SDCARD_REMOVE_OK);
    EXPECT_EQ(reply.sdcard_remove.found, 2);
    EXPECT_EQ(reply.sdcard_remove.unmounted, 2);
    EXPECT_EQ(reply.sdcard_remove.killed, 1);

    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    holder = -1;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(waitpid(bystander, &status, WNOHANG), 0) << "a process off the card was killed";
    EXPECT_EQ(read_file("/proc/self/mounts").find("mmcblk0"), std::string::npos);
    for (const char *dir : mount_points)
        EXPECT_FALSE(file_exists(dir)) << dir;
    EXPECT_TRUE(file_exists("/home/pi/other"));

    reply = {};
    ctl_sdcard_status(ControlRequest{}, reply);
    EXPECT_EQ(reply.sdcard_status.status, 1);
}

}  // namespace
