// Who may use the control socket: in a private mount namespace, /etc/group is replaced by
// one that has, or lacks, the group tesmar_gpio, and the server is initialized under the
// unit's umask or an open one.
#include "ctl_protocol.h"
#include "ctl_server.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct SocketGroupCase {
    const char *groups;  // the whole /etc/group
    mode_t umask;        // the daemon's file-creation mask at start
    mode_t mode;
    gid_t gid;
};

class ControlSocketGroupTest : public testing::TestWithParam<SocketGroupCase> {
protected:
    // The next case mounts over /etc/group again, which it cannot over a removed file.
    void TearDown() override
    {
        if (group_mounted)
            umount2("/etc/group", MNT_DETACH);
    }
    bool group_mounted = false;
};

TEST_P(ControlSocketGroupTest, SocketGoesToTheGroupOnlyWhenItExists)
{
    // Mounts stay in this process's namespace: made private before anything is mounted.
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root in a single-threaded process for a private mount namespace";
    SimBoard board;
    setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
    const std::string groups = board.root() + "/group";
    write_file(groups, GetParam().groups);
    ASSERT_EQ(mount(groups.c_str(), "/etc/group", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    group_mounted = true;

    const mode_t previous = umask(GetParam().umask);
    ASSERT_EQ(ctl_server_init(), 0);
    umask(previous);
    struct stat socket_stat {};
    ASSERT_EQ(stat(board.path(CTL_SOCKET_PATH).c_str(), &socket_stat), 0);
    EXPECT_EQ(socket_stat.st_mode & 07777, GetParam().mode);
    EXPECT_EQ(socket_stat.st_gid, GetParam().gid);
    EXPECT_EQ(socket_stat.st_uid, 0u);
    ctl_server_cleanup();
}

INSTANTIATE_TEST_SUITE_P(Groups, ControlSocketGroupTest,
    testing::Values(SocketGroupCase{"root:x:0:\ntesmar_gpio:x:4242:alice,bob\n", 077, 0660, 4242},
                    // A name that only begins like it is another group.
                    SocketGroupCase{"root:x:0:\ntesmar_gpio_old:x:4243:\n", 077, 0600, 0},
                    // Started by hand with an open umask: still root's alone, or the group's.
                    SocketGroupCase{"root:x:0:\n", 0, 0600, 0},
                    SocketGroupCase{"root:x:0:\ntesmar_gpio:x:4242:\n", 0, 0660, 4242}));

}  // namespace
