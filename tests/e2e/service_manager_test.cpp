#include "notify_listener.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>

namespace {

using clock = std::chrono::steady_clock;

// The manager wants a ping every 3 s, so one comes every 1.5 s.
class ServiceManagerTest : public testing::Test {
protected:
    // Set only where a test sets it, whatever the test runner was started with.
    void SetUp() override
    {
        for (const char *variable : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            unsetenv(variable);
    }

    SimBoard board;
    NotifyListener manager{board.root() + "/notify.sock"};
};

TEST_F(ServiceManagerTest, ReadyAfterTheStartPingsWhileRunningStoppingAtTheStop)
{
    DaemonProcess daemon(board, {"-f"}, {{"NOTIFY_SOCKET", manager.name()}, {"WATCHDOG_USEC", "3000000"}});
    EXPECT_EQ(manager.next(10s), "READY=1") << daemon.out() << daemon.err();
    EXPECT_NE(daemon.out().find("All services started\n"), std::string::npos) << "ready before the start ended";

    std::vector<clock::time_point> pings;
    const auto watch_until = clock::now() + 4s;
    while (clock::now() < watch_until) {
        auto message = manager.next(std::chrono::duration_cast<std::chrono::milliseconds>(watch_until - clock::now()));
        if (message) {
            EXPECT_EQ(*message, "WATCHDOG=1");
            pings.push_back(clock::now());
        }
    }
    ASSERT_GE(pings.size(), 2u);
    for (size_t i = 1; i < pings.size(); i++) {
        EXPECT_LT(pings[i] - pings[i - 1], 3s) << "the manager would have restarted the daemon";
        EXPECT_GT(pings[i] - pings[i - 1], 1200ms) << "a ping every half interval, not every turn";
    }

    daemon.signal(SIGTERM);
    std::optional<std::string> message;
    while ((message = manager.next(5s)) == "WATCHDOG=1")
        ;
    EXPECT_EQ(message, "STOPPING=1");
    EXPECT_EQ(daemon.wait_exit(5s), 0);
    EXPECT_EQ(manager.next(0ms), std::nullopt) << "nothing after the stop notice";
}

// WATCHDOG_USEC alone, as a shell that once ran under systemd may leave it.
TEST_F(ServiceManagerTest, WithoutANotifySocketNothingIsSentOrLogged)
{
    DaemonProcess daemon(board, {"-f"}, {{"WATCHDOG_USEC", "3000000"}});
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.err();
    EXPECT_EQ(manager.next(3500ms), std::nullopt);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
    EXPECT_EQ(manager.next(0ms), std::nullopt);
    EXPECT_EQ((daemon.out() + daemon.err()).find("WATCHDOG"), std::string::npos);
}

}  // namespace
