// The link manager inside the shipped daemon, on a simulated board with the stand-in
// dialer and access-point script: keys, commands, notifications and shutdown.
#include "ctl_test_peer.h"
#include "private_net.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

namespace {

constexpr const char state_file[] = "/var/lib/tesmar_gpio/link_state";

// sys_ledN as "on", "off" or "blink".
std::string led_view(const SimBoard &board, int n)
{
    if (board.led(n, "trigger") == "timer")
        return "blink";
    return board.led(n, "brightness") == "0" ? "off" : "on";
}

// A listener on 127.0.0.1:80 of the private network: one request, read whole.
class PlatformListener {
public:
    PlatformListener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(80);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        listening_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(fd_, 4) == 0;
    }
    ~PlatformListener() { close(fd_); }
    bool listening() const { return listening_; }

    // The request of the next connection, up to its empty line; empty on a time-out.
    std::string next_request(std::chrono::milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return "";
        ctl_peer peer = ctl_peer::adopt(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            bytes more = peer.receive(1024, timeout);
            if (more.empty())
                break;
            request.append(more.begin(), more.end());
        }
        return request;
    }

private:
    int fd_ = -1;
    bool listening_ = false;
};

TEST(LinkOnBoard, FourGKeyFlipsSwitchNotifiesPlatformAndDials)
{
    std::string why;
    if (!enter_private_network(why))
        GTEST_SKIP() << why;
    PlatformListener platform;
    ASSERT_TRUE(platform.listening()) << "cannot listen on 127.0.0.1:80";
    SimBoard board;
    write_file(board.path("/usr/bin/quectel-CM.delay"), "1.5\n");
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.out() << daemon.err();

    board.set_level(1, 9, 1);  // the 4G key
    EXPECT_EQ(platform.next_request(5s), "GET /api/platform_notify?event=key_pressed&key=4G&status=on HTTP/1.0\r\n"
                                         "Host: 127.0.0.1\r\n"
                                         "Connection: close\r\n\r\n");
    EXPECT_EQ(read_file(board.path(state_file)), "1 0\n");
    EXPECT_TRUE(wait_until([&] { return led_view(board, 6) == "blink"; })) << led_view(board, 6);
    EXPECT_TRUE(wait_until([&] {
        return read_file(board.path("/usr/bin/quectel-CM.log")).find(" start -s cmnet\n") != std::string::npos;
    }));
    EXPECT_TRUE(wait_until([&] { return led_view(board, 6) == "on"; }, 10s)) << led_view(board, 6);
    EXPECT_TRUE(daemon.wait_for_output("LINK: 4G connected via wwu1u2i4\n")) << daemon.out();
    EXPECT_EQ(count_lines(daemon.out(), "LINK: 4G toggled -> ON"), 1) << daemon.out();

    board.set_level(1, 9, 0);  // released: nothing more
    EXPECT_EQ(platform.next_request(500ms), "");
}

TEST(LinkOnBoard, SigtermWithBothLinksUpExitsWithinASecondAndTakesThemDown)
{
    SimBoard board;
    write_file(board.path("/usr/bin/quectel-CM.delay"), "0.2\n");
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.out();
    ctl_peer peer(board.path(CTL_SOCKET_PATH));
    EXPECT_EQ(peer.ask(request_bytes(CMD_4G_TOGGLE)), reply_bytes(STATUS_OK, {1}));
    EXPECT_EQ(peer.ask(request_bytes(CMD_WIFI_TOGGLE)), reply_bytes(STATUS_OK, {1}));
    ASSERT_TRUE(daemon.wait_for_output("LINK: 4G connected via wwu1u2i4\n", 10s)) << daemon.out();
    ASSERT_TRUE(daemon.wait_for_output("LINK: WiFi AP started and verified\n", 15s)) << daemon.out();

    const auto begin = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(5s), 0) << daemon.out() << daemon.err();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms) << daemon.out();
    EXPECT_NE(read_file(board.path("/usr/bin/quectel-CM.log")).find(" stop\n"), std::string::npos);
    EXPECT_EQ(lines_of(read_file(board.path("/usr/lib/tesmar_gpio/wifi_ap.sh.log"))).back(), "stop 0");
    EXPECT_EQ(read_file(board.path("/sys/class/net/wwu1u2i4/flags")), "0x1002\n");
    EXPECT_EQ(read_file(board.path(state_file)), "1 1\n");
}

// A command run while the signal arrives (here a health check held up by a slow pgrep)
// must not swallow the stop request.
TEST(LinkOnBoard, InterruptDuringAHealthCheckStopsTheDaemon)
{
    SimBoard board;
    write_file(board.path(state_file), "0 1\n");
    write_file(board.path("/sim/bin/pgrep.delay"), "1\n");
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("LINK: WiFi enabled -> starting AP\n", 10s)) << daemon.out();
    ASSERT_TRUE(wait_until([&] { return file_exists(board.path("/sim/bin/pgrep.log")); }, 10s));
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(15s), 0) << daemon.out() << daemon.err();
    EXPECT_TRUE(daemon.wait_for_output("LINK: Module stopped\n")) << daemon.out();
}

struct LinkCommand {
    std::uint8_t cmd;
    std::uint8_t value;
    const char *state_file;  // after the command
};

TEST(LinkOnBoard, ToggleAndStatusCommandsReportTheSwitches)
{
    SimBoard board;
    write_file(board.path("/usr/lib/tesmar_gpio/wifi_ap.sh.start-exit"), "1\n");
    write_file(board.path("/usr/bin/quectel-CM.delay"), "never\n");
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.err();
    const LinkCommand steps[] = {
        {CMD_4G_STATUS, 0, ""},         {CMD_4G_TOGGLE, 1, "1 0\n"},   {CMD_4G_STATUS, 1, "1 0\n"},
        {CMD_WIFI_TOGGLE, 1, "1 1\n"},  {CMD_WIFI_STATUS, 1, "1 1\n"}, {CMD_4G_TOGGLE, 0, "0 1\n"},
        {CMD_WIFI_TOGGLE, 0, "0 0\n"},  {CMD_WIFI_STATUS, 0, "0 0\n"},
    };
    ctl_peer peer(board.path(CTL_SOCKET_PATH));
    ASSERT_TRUE(peer.connected());
    for (const LinkCommand &step : steps) {
        EXPECT_EQ(peer.ask(request_bytes(step.cmd)), reply_bytes(STATUS_OK, {step.value})) << int(step.cmd);
        EXPECT_EQ(read_file(board.path(state_file)), step.state_file) << int(step.cmd);
    }
    EXPECT_TRUE(daemon.wait_for_output("LINK: WiFi software toggle -> OFF\n")) << daemon.out();
}

TEST(LinkOnBoard, FailedWorkerThreadStopsTheStartAndCleansUp)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer's own thread interceptor cannot be replaced by a preload";
    SimBoard board;
    // Thread 1 is the input monitor, 2 the 4G worker, 3 the WiFi worker.
    DaemonProcess daemon(board, {"-f"},
                         {{"LD_PRELOAD", preload_list() + ":" + fail_thread_create_library()},
                          {"TESMAR_TEST_FAIL_THREAD", "3"}});
    EXPECT_EQ(daemon.wait_exit(10s), 1) << daemon.out() << daemon.err();
    EXPECT_EQ(daemon.err(), "LINK: Failed to create WiFi worker thread\nFailed to start link manager\n");
    EXPECT_EQ(count_lines(daemon.out(), "LINK: Module cleaned up"), 1) << daemon.out();
    EXPECT_EQ(count_lines(daemon.out(), "LINK: Stopping..."), 0) << daemon.out();
    EXPECT_TRUE(board.requested_lines().empty());
}

}  // namespace
