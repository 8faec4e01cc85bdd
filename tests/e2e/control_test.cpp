// The shipped daemon's control socket on a simulated board: framing, load with faulty
// peers, and shutdown with peers still connected.
#include "ctl_test_peer.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

class DaemonControlTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.wait_for_output("All services started")) << daemon.err(); }

    std::string socket_path() const { return board.path(CTL_SOCKET_PATH); }
    int threads() const { return count_dir_entries("/proc/" + std::to_string(daemon.pid()) + "/task"); }
    int descriptors() const { return count_dir_entries("/proc/" + std::to_string(daemon.pid()) + "/fd"); }

    SimBoard board;
    DaemonProcess daemon{board};
};

TEST_F(DaemonControlTest, FiveByteRequestGetsBadLengthThenNextRequestIsServed)
{
    ctl_peer peer(socket_path());
    ASSERT_TRUE(peer.send(bytes{CMD_POWER_STATUS, 0, 0, 0, 0}));
    EXPECT_EQ(peer.receive(), reply_bytes(STATUS_BAD_LENGTH));
    EXPECT_EQ(peer.ask(request_bytes(CMD_POWER_STATUS)), reply_bytes(STATUS_OK, {1}));
}

TEST_F(DaemonControlTest, LoadWithShortRequestsAndAbruptDisconnects)
{
    // The start-up beep's worker is the only thread that comes and goes by itself.
    ASSERT_TRUE(wait_until([&] {
        auto beeper = board.transitions(1, 11);
        auto rise = std::find_if(beeper.begin(), beeper.end(), [](auto t) { return t.second == 1; });
        return std::find_if(rise, beeper.end(), [](auto t) { return t.second == 0; }) != beeper.end();
    }));
    std::this_thread::sleep_for(100ms);
    const int idle_threads = threads();
    const int idle_descriptors = descriptors();

    // Requests whose answers the idle board fixes.
    const std::pair<bytes, bytes> exchanges[] = {
        {request_bytes(CMD_LED_GET, 9), reply_bytes(STATUS_OK, {0})},
        {request_bytes(CMD_12V_GET), reply_bytes(STATUS_OK, {0})},
        {request_bytes(CMD_POWER_STATUS), reply_bytes(STATUS_OK, {1})},
        {request_bytes(CMD_INPUT_ALL), reply_bytes(STATUS_OK, {0, 1, 0, 0})},
        {request_bytes(200), reply_bytes(STATUS_UNKNOWN_COMMAND)},
    };
    constexpr int clients = 64, requests_each = 1000;
    std::atomic<int> answered{0}, expected{0};
    std::mutex first_error_lock;
    std::string first_error;

    auto client = [&](int id) {
        auto peer = std::make_unique<ctl_peer>(socket_path());
        for (int i = 0; i < requests_each; i++) {
            if (i % 100 == 99) {
                // Gone before its reply: the daemon's send meets a closed socket.
                peer->send(request_bytes(CMD_INPUT_ALL));
                peer = std::make_unique<ctl_peer>(socket_path());
                continue;
            }
            bytes request, reply;
            if (i % 50 == 25) {
                request = bytes{CMD_LED_GET, 1, 0};
                reply = reply_bytes(STATUS_BAD_LENGTH);
            } else {
                const auto &e = exchanges[(i + id) % std::size(exchanges)];
                request = e.first;
                reply = e.second;
            }
            expected++;
            bytes got = peer->ask(request);
            if (got == reply) {
                answered++;
            } else {
                std::lock_guard lock(first_error_lock);
                if (first_error.empty())
                    first_error = "client " + std::to_string(id) + " request " + std::to_string(i) + ": " +
                                  std::to_string(got.size()) + " bytes, status " +
                                  (got.empty() ? "-" : std::to_string(got[0]));
            }
        }
    };
    std::vector<std::thread> threads_of_clients;
    for (int id = 0; id < clients; id++)
        threads_of_clients.emplace_back(client, id);
    for (auto &t : threads_of_clients)
        t.join();

    EXPECT_EQ(answered.load(), expected.load()) << first_error;
    ASSERT_TRUE(daemon.running()) << daemon.err();
    EXPECT_EQ(ctl_peer(socket_path()).ask(request_bytes(CMD_LED_GET, 9)), reply_bytes(STATUS_OK, {0}));
    EXPECT_TRUE(wait_until([&] { return threads() == idle_threads; })) << threads() << " threads, idle " << idle_threads;
    EXPECT_TRUE(wait_until([&] { return descriptors() == idle_descriptors; }))
        << descriptors() << " descriptors, idle " << idle_descriptors;
}

TEST_F(DaemonControlTest, StopsPromptlyWithPeersConnectedAndRemovesTheSocket)
{
    ctl_peer idle(socket_path());
    ctl_peer half(socket_path());
    ASSERT_TRUE(half.send(bytes{CMD_LED_GET}));
    ASSERT_EQ(half.receive(), reply_bytes(STATUS_BAD_LENGTH));
    ctl_peer served(socket_path());
    ASSERT_EQ(served.ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {0}));

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0) << daemon.err();
    EXPECT_EQ(count_lines(daemon.out(), "SOCKET: Server stopped"), 1) << daemon.out();
    EXPECT_FALSE(file_exists(socket_path()));
    EXPECT_FALSE(ctl_peer(socket_path()).connected());
    EXPECT_TRUE(idle.receive().empty());
}

// The unit's descriptor limit, in force while the daemon starts (it inherits it) and the
// test holds its connections.
struct UnitFileLimit {
    UnitFileLimit()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit unit = saved;
        unit.rlim_cur = std::min<rlim_t>(4096, saved.rlim_max);
        setrlimit(RLIMIT_NOFILE, &unit);
    }
    ~UnitFileLimit() { setrlimit(RLIMIT_NOFILE, &saved); }
    rlimit saved{};
};

class DaemonConnectionFloodTest : public testing::Test {
protected:
    UnitFileLimit limit;
    SimBoard board;
    DaemonProcess daemon{board};
};

// True when the daemon ends PEER's connection, unanswered, within TIMEOUT.
bool closed_unanswered(const ctl_peer &peer, std::chrono::milliseconds timeout)
{
    pollfd p{peer.fd(), POLLIN, 0};
    std::uint8_t byte;
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1 && recv(peer.fd(), &byte, 1, MSG_DONTWAIT) <= 0;
}

TEST_F(DaemonConnectionFloodTest, TwoThousandSilentConnectionsLeaveTheDaemonToOthers)
{
    ASSERT_GE(limit.saved.rlim_max, 4096u) << "needs 4096 descriptors";
    ASSERT_TRUE(daemon.wait_for_output("All services started")) << daemon.err();
    const std::string path = board.path(CTL_SOCKET_PATH);
    std::vector<ctl_peer> silent;
    for (int i = 0; i < 2000; i++) {
        silent.emplace_back(path);
        ASSERT_TRUE(silent.back().connected()) << i;
    }
    // The daemon holds no more than its cap of them, and keeps answering those it serves.
    const int held = count_dir_entries("/proc/" + std::to_string(daemon.pid()) + "/fd");
    EXPECT_LT(held, 128 + 64);
    ctl_peer refused(path);
    ASSERT_TRUE(refused.connected());
    refused.send(request_bytes(CMD_12V_GET));
    EXPECT_TRUE(closed_unanswered(refused, 1s));

    // The silent ones are cut once their time is up; a client then is served.
    EXPECT_TRUE(wait_until([&] { return ctl_peer(path).ask(request_bytes(CMD_12V_GET)) == reply_bytes(STATUS_OK, {0}); }, 15s));
    EXPECT_TRUE(daemon.running());
}

}  // namespace
