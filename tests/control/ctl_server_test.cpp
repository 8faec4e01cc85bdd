// The control server in-process, over the real hardware modules on a simulated board,
// spoken to byte by byte through its socket.
#include "beep.h"
#include "change_feed.h"
#include "ctl_server.h"
#include "ctl_watch.h"
#include "ctl_test_peer.h"
#include "emulation.h"
#include "gpio.h"
#include "input.h"
#include "led.h"
#include "power.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

namespace {

// Line locations on the simulated board: (chip, offset).
constexpr int BEEP_CHIP = 1, BEEP_OFFSET = 11;
constexpr int VOUT_CHIP = 6, VOUT_OFFSET = 13;
const std::pair<int, unsigned> input_lines[] = {{1, 9}, {6, 11}, {6, 12}, {8, 10}};  // 4G, VALID1, VALID2, WIFI

// Descriptors of this process open on PATH.
int descriptors_open_on(const std::string &path)
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            char target[512] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            n += readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target;
        }
        closedir(d);
    }
    return n;
}
int descriptor_count() { return count_dir_entries("/proc/self/fd"); }

int high_pulses(const SimBoard &board, int chip, unsigned offset)
{
    int n = 0;
    for (auto [when, level] : board.transitions(chip, offset))
        n += level == 1;
    return n;
}

// Nanoseconds from the first rise of the beeper line to the fall after it; -1 while none.
long long first_beep_ns(const SimBoard &board)
{
    long long rose = -1;
    for (auto [when, level] : board.transitions(BEEP_CHIP, BEEP_OFFSET)) {
        if (level == 1 && rose < 0)
            rose = when;
        else if (level == 0 && rose >= 0)
            return when - rose;
    }
    return -1;
}

// Runs F on another thread; true when it finished within TIMEOUT. A stop that hangs then
// fails the test instead of hanging the suite (the thread is left to the process exit).
bool finishes_within(std::function<void()> f, std::chrono::milliseconds timeout)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([f = std::move(f), done] {
        f();
        done->set_value();
    }).detach();
    return finished.wait_for(timeout) == std::future_status::ready;
}

// The daemon's modules initialized on a fresh board, as the daemon's init phase leaves them.
class ControlServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
        prepare_board();
        ASSERT_EQ(gpio_init(), 0);
        ASSERT_EQ(gpio_init_outputs(), 0);
        ASSERT_EQ(gpio_init_inputs(), 0);
        led_init();
        beep_init();
        power_init();
        input_monitor_init(100);
        if (start_server_in_setup) {
            ASSERT_EQ(ctl_server_init(), 0);
            ASSERT_EQ(ctl_server_start(), 0);
        }
    }

    void TearDown() override
    {
        ctl_server_stop();
        ctl_server_cleanup();
        input_monitor_cleanup();
        power_cleanup();
        beep_cleanup();
        led_cleanup();
        gpio_cleanup();
    }

    virtual void prepare_board() {}

    std::string socket_path() const { return board.path(CTL_SOCKET_PATH); }
    ctl_peer connect() const { return ctl_peer(socket_path()); }

    SimBoard board;
    bool start_server_in_setup = true;
};

// ---- Every simple command, byte for byte, with its effect on the board ----

struct SimpleCase {
    const char *name;
    std::function<void(const SimBoard &)> prepare;
    bytes request;
    bytes reply;
    std::function<void(const SimBoard &)> check;
};

void nothing(const SimBoard &) {}

const SimpleCase simple_cases[] = {
    {"LedOn", nothing, request_bytes(CMD_LED_ON, 2), reply_bytes(STATUS_OK),
     [](const SimBoard &b) {
         EXPECT_EQ(b.led(3, "trigger"), "none");
         EXPECT_EQ(b.led(3, "brightness"), "255");
     }},
    {"LedOnIndexSevenFails", nothing, request_bytes(CMD_LED_ON, 7), reply_bytes(STATUS_FAILED), nothing},
    {"LedOff", [](const SimBoard &) { led_on(LED_NET); }, request_bytes(CMD_LED_OFF, 6), reply_bytes(STATUS_OK),
     [](const SimBoard &b) { EXPECT_EQ(b.led(7, "brightness"), "0"); }},
    {"LedToggleLightsADarkLed", nothing, request_bytes(CMD_LED_TOGGLE, 0), reply_bytes(STATUS_OK),
     [](const SimBoard &b) { EXPECT_EQ(b.led(1, "brightness"), "255"); }},
    {"LedBlinkPassesTheFrequency", nothing, request_bytes(CMD_LED_BLINK, 4, 3), reply_bytes(STATUS_OK),
     [](const SimBoard &b) {
         EXPECT_EQ(b.led(5, "trigger"), "timer");
         EXPECT_EQ(b.led(5, "delay_on"), "166");
         EXPECT_EQ(b.led(5, "delay_off"), "166");
     }},
    {"LedGetReportsTheMode", [](const SimBoard &) { led_blink(LED_EXT_PWR, 9); }, request_bytes(CMD_LED_GET, 1),
     reply_bytes(STATUS_OK, {LED_MODE_BLINK_FAST}), nothing},
    {"LedGetIndexNineReadsOff", nothing, request_bytes(CMD_LED_GET, 9), reply_bytes(STATUS_OK, {0}), nothing},
    {"BeepOn", nothing, request_bytes(CMD_BEEP_ON), reply_bytes(STATUS_OK),
     [](const SimBoard &b) { EXPECT_TRUE(wait_until([&] { return b.level(BEEP_CHIP, BEEP_OFFSET) == 1; })); }},
    {"BeepOff", [](const SimBoard &) { beep_on(); }, request_bytes(CMD_BEEP_OFF), reply_bytes(STATUS_OK),
     [](const SimBoard &b) {
         EXPECT_EQ(beep_is_active(), 0);
         EXPECT_EQ(b.level(BEEP_CHIP, BEEP_OFFSET), 0);
     }},
    {"BeepOnceUsesTheLength", nothing, request_bytes(CMD_BEEP_ONCE, 0, 300), reply_bytes(STATUS_OK),
     [](const SimBoard &b) {
         ASSERT_TRUE(wait_until([&] { return first_beep_ns(b) >= 0; }));
         EXPECT_GE(first_beep_ns(b), 290'000'000LL);
     }},
    {"BeepAlarmSoundsThreeBeeps", nothing, request_bytes(CMD_BEEP_ALARM, 0, 5000), reply_bytes(STATUS_OK),
     [](const SimBoard &b) {
         EXPECT_TRUE(wait_until([&] { return high_pulses(b, BEEP_CHIP, BEEP_OFFSET) == 3 && beep_is_active() == 0; }));
     }},
    {"PowerStatusExternal", nothing, request_bytes(CMD_POWER_STATUS), reply_bytes(STATUS_OK, {POWER_EXTERNAL}),
     nothing},
    {"TwelveVoltOn", nothing, request_bytes(CMD_12V_ON), reply_bytes(STATUS_OK),
     [](const SimBoard &b) { EXPECT_EQ(b.level(VOUT_CHIP, VOUT_OFFSET), 1); }},
    {"TwelveVoltOnFailureIsReported",
     [](const SimBoard &b) { write_file(b.line_file(VOUT_CHIP, VOUT_OFFSET, ".fail-write"), ""); },
     request_bytes(CMD_12V_ON), reply_bytes(STATUS_FAILED), nothing},
    {"TwelveVoltOff", [](const SimBoard &) { power_12v_on(); }, request_bytes(CMD_12V_OFF), reply_bytes(STATUS_OK),
     [](const SimBoard &b) { EXPECT_EQ(b.level(VOUT_CHIP, VOUT_OFFSET), 0); }},
    {"TwelveVoltGet", [](const SimBoard &) { power_12v_on(); }, request_bytes(CMD_12V_GET),
     reply_bytes(STATUS_OK, {1}), nothing},
    {"StatusAll", [](const SimBoard &) { power_12v_on(); }, request_bytes(CMD_STATUS_ALL),
     reply_bytes(STATUS_OK, {POWER_EXTERNAL, 1, 0, 1, 0, 0}), nothing},
};

class SimpleCommandTest : public ControlServerTest, public testing::WithParamInterface<SimpleCase> {};

TEST_P(SimpleCommandTest, RepliesAndActs)
{
    const SimpleCase &c = GetParam();
    c.prepare(board);
    ctl_peer peer = connect();
    ASSERT_TRUE(peer.connected());
    EXPECT_EQ(peer.ask(c.request), c.reply);
    c.check(board);
}

INSTANTIATE_TEST_SUITE_P(Codes, SimpleCommandTest, testing::ValuesIn(simple_cases),
                         [](const testing::TestParamInfo<SimpleCase> &param) { return param.param.name; });

// ---- The input commands put each line in its own byte ----

class InputCommandTest : public ControlServerTest, public testing::WithParamInterface<int> {
protected:
    // Only the input GetParam() is high; an input that fails to read must show as 255.
    void prepare_board() override
    {
        for (int id = 0; id < 4; id++)
            board.set_level(input_lines[id].first, input_lines[id].second, id == GetParam());
    }
    std::uint8_t level(int id) const { return id == GetParam(); }
};

TEST_P(InputCommandTest, EachCommandReadsItsOwnLine)
{
    ctl_peer peer = connect();
    EXPECT_EQ(peer.ask(request_bytes(CMD_INPUT_4G)), reply_bytes(STATUS_OK, {level(IN_4G)}));
    EXPECT_EQ(peer.ask(request_bytes(CMD_INPUT_WIFI)), reply_bytes(STATUS_OK, {level(IN_WIFI)}));
    EXPECT_EQ(peer.ask(request_bytes(CMD_INPUT_VALID1)), reply_bytes(STATUS_OK, {level(IN_VALID1)}));
    EXPECT_EQ(peer.ask(request_bytes(CMD_INPUT_VALID2)), reply_bytes(STATUS_OK, {level(IN_VALID2)}));
    // 4G, VALID1, VALID2, WIFI: not the order of the single-input codes.
    EXPECT_EQ(peer.ask(request_bytes(CMD_INPUT_ALL)),
              reply_bytes(STATUS_OK, {level(IN_4G), level(IN_VALID1), level(IN_VALID2), level(IN_WIFI)}));
    std::uint8_t power = level(IN_VALID1) + 2 * level(IN_VALID2);
    EXPECT_EQ(peer.ask(request_bytes(CMD_STATUS_ALL)),
              reply_bytes(STATUS_OK, {power, 0, level(IN_4G), level(IN_VALID1), level(IN_VALID2), level(IN_WIFI)}));
}

INSTANTIATE_TEST_SUITE_P(HighLine, InputCommandTest, testing::Values(IN_4G, IN_VALID1, IN_VALID2, IN_WIFI));

// ---- Framing and unknown codes ----

TEST_F(ControlServerTest, ShortRequestGetsBadLengthOnAConnectionThatStaysOpen)
{
    ctl_peer peer = connect();
    for (std::size_t length = 1; length < sizeof(ControlRequest); length++) {
        bytes partial = request_bytes(CMD_POWER_STATUS);
        partial.resize(length);
        ASSERT_TRUE(peer.send(partial));
        EXPECT_EQ(peer.receive(), reply_bytes(STATUS_BAD_LENGTH)) << length << " bytes";
        EXPECT_EQ(peer.ask(request_bytes(CMD_POWER_STATUS)), reply_bytes(STATUS_OK, {POWER_EXTERNAL}));
    }
}

TEST_F(ControlServerTest, UnservedCodesGetUnknownCommand)
{
    ctl_peer peer = connect();
    // The gaps of the table and everything past its last code.
    const int codes[] = {0, 20, 22, 25, 29, 43, 100, 255};
    for (int code : codes) {
        EXPECT_EQ(peer.ask(request_bytes(static_cast<std::uint8_t>(code), 3, 0xffff)),
                  reply_bytes(STATUS_UNKNOWN_COMMAND))
            << "code " << code;
    }
}

TEST_F(ControlServerTest, BackToBackRequestsAreAnsweredInOrder)
{
    ctl_peer peer = connect();
    bytes two = request_bytes(CMD_LED_GET, 9);
    bytes second = request_bytes(CMD_POWER_STATUS);
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(peer.send(two));
    bytes expected = reply_bytes(STATUS_OK, {0});
    bytes expected_second = reply_bytes(STATUS_OK, {POWER_EXTERNAL});
    expected.insert(expected.end(), expected_second.begin(), expected_second.end());
    EXPECT_EQ(peer.receive_exactly(32), expected);
}

// ---- Peers that misbehave ----

TEST_F(ControlServerTest, PeerThatLeavesBeforeItsReplyDoesNotEndTheProcess)
{
    // The beeper's lock is held through a beep, so the second request is answered only
    // after its peer has gone: the reply goes to a closed socket, which must not raise
    // SIGPIPE (it would end this test process).
    ctl_peer first = connect();
    ASSERT_EQ(first.ask(request_bytes(CMD_BEEP_ONCE, 0, 300)), reply_bytes(STATUS_OK));
    {
        ctl_peer leaving = connect();
        ASSERT_TRUE(leaving.send(request_bytes(CMD_BEEP_ONCE, 0, 50)));
    }
    for (int i = 0; i < 200; i++) {
        ctl_peer quick = connect();
        ASSERT_TRUE(quick.send(request_bytes(CMD_LED_GET, 9)));
    }
    EXPECT_TRUE(wait_until([] { return beep_is_active() == 0; }));
    EXPECT_EQ(connect().ask(request_bytes(CMD_LED_GET, 9)), reply_bytes(STATUS_OK, {0}));
}

TEST_F(ControlServerTest, IdleClientDelaysNeitherOthersNorStop)
{
    ctl_peer idle = connect();
    ctl_peer partial = connect();
    ASSERT_TRUE(partial.send(bytes{CMD_LED_GET}));
    EXPECT_EQ(partial.receive(), reply_bytes(STATUS_BAD_LENGTH));

    ctl_peer busy = connect();
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(busy.ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {0}));

    ASSERT_TRUE(finishes_within([] { ctl_server_stop(); }, 5s));
    // Their connections were closed by the stop.
    EXPECT_TRUE(idle.receive().empty());
    EXPECT_TRUE(busy.receive().empty());
}

TEST_F(ControlServerTest, PeerThatNeverReadsDoesNotBlockStop)
{
    ctl_peer flooding = connect();
    fcntl(flooding.fd(), F_SETFL, O_NONBLOCK);
    bytes request = request_bytes(CMD_12V_GET);
    int sent = 0;
    // Until both directions are full and the connection thread is stuck in its send.
    for (int stalls = 0; stalls < 50;) {
        if (send(flooding.fd(), request.data(), request.size(), MSG_NOSIGNAL) > 0) {
            sent++;
        } else {
            stalls++;
            std::this_thread::sleep_for(2ms);
        }
    }
    ASSERT_GT(sent, 100);
    EXPECT_TRUE(finishes_within([] { ctl_server_stop(); }, 5s));
}

TEST_F(ControlServerTest, OutOfDescriptorsAcceptRetriesWithoutSpinning)
{
    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    sockaddr_un address = unix_address(socket_path());

    // No descriptor number is free from here on, so the server's accept fails.
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    int lowest_free = dup(0);
    close(lowest_free);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(lowest_free);
    testing::internal::CaptureStderr();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    std::this_thread::sleep_for(500ms);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::string errors = testing::internal::GetCapturedStderr();

    int failures = 0;
    for (std::size_t at = 0; (at = errors.find("SOCKET: Accept failed: Too many open files\n", at)) != std::string::npos; at++)
        failures++;
    EXPECT_GE(failures, 1);
    EXPECT_LE(failures, 10) << "the accept loop spun";
    // Once descriptors are free again the waiting connection is served.
    ctl_peer peer = ctl_peer::adopt(client);
    EXPECT_EQ(peer.ask(request_bytes(CMD_LED_GET, 9)), reply_bytes(STATUS_OK, {0}));
}

TEST_F(ControlServerTest, StopWaitsForACommandStillInsideAModule)
{
    // The LED's trigger attribute becomes a full pipe: led_on blocks in its write until the
    // test drains the pipe, which holds a connection thread inside the LED module at will.
    std::string trigger = board.path("/sys/class/leds/sys_led1/trigger");
    ASSERT_EQ(unlink(trigger.c_str()), 0);
    ASSERT_EQ(mkfifo(trigger.c_str(), 0644), 0);
    int pipe_end = open(trigger.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe_end, 0);
    std::vector<char> chunk(4096, 'x');
    while (write(pipe_end, chunk.data(), chunk.size()) > 0) {
    }

    ctl_peer peer = connect();
    ASSERT_TRUE(peer.send(request_bytes(CMD_LED_ON, LED_SYS)));
    ASSERT_TRUE(wait_until([&] { return descriptors_open_on(trigger) == 2; }));  // ours and led_on's

    auto stopped = std::async(std::launch::async, [] { ctl_server_stop(); });
    EXPECT_EQ(stopped.wait_for(300ms), std::future_status::timeout)
        << "stop returned while a request was still inside the LED module";

    // Let led_on finish; the stop must follow.
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (stopped.wait_for(5ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline) {
        while (read(pipe_end, chunk.data(), chunk.size()) > 0) {
        }
    }
    EXPECT_EQ(stopped.wait_for(0s), std::future_status::ready);
    // The command was carried out, so its peer must hear so, not meet a closed stream.
    EXPECT_EQ(peer.receive_exactly(sizeof(ControlReply)), reply_bytes(STATUS_OK));
    EXPECT_TRUE(peer.receive().empty()) << "the connection stays open after the stop";
    // The cleanup's writes must not meet a pipe without a reader.
    unlink(trigger.c_str());
    write_file(trigger, "none");
    close(pipe_end);
}

// A request that waits for the beeper behind a long pattern when the daemon stops: the
// stop must neither last the pattern's length nor leave the request unanswered.
struct WaitingBeepCase {
    const char *name;
    std::uint8_t cmd;
    std::uint8_t status;  // refused once stopping, except the off that silences
};

class StopWithBeepWaiterTest : public ControlServerTest, public testing::WithParamInterface<WaitingBeepCase> {};

TEST_P(StopWithBeepWaiterTest, WaiterIsAnsweredPromptlyAndTheBeeperEndsLow)
{
    ctl_peer playing = connect();
    ASSERT_EQ(playing.ask(request_bytes(CMD_BEEP_ONCE, 0, 20000)), reply_bytes(STATUS_OK));
    ASSERT_TRUE(wait_until([&] { return board.level(BEEP_CHIP, BEEP_OFFSET) == 1; }));

    const int threads_before = thread_count();
    ctl_peer waiting = connect();
    ASSERT_TRUE(waiting.send(request_bytes(GetParam().cmd, 0, 500)));
    // Its connection thread. Under an emulator the count also holds the emulator's own
    // threads, which come and go; there the request is given a moment instead. Either way
    // the replies below are the same: a request that reaches the server only after the
    // stop is still answered, and refused by the beeper the same way.
    if (running_emulated())
        std::this_thread::sleep_for(200ms);
    else
        ASSERT_TRUE(wait_until([&] { return thread_count() == threads_before + 1; }));

    // The daemon's stop phase: the beeper first, then the server.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(finishes_within([] {
        beep_stop();
        ctl_server_stop();
    }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(waiting.receive_exactly(sizeof(ControlReply)), reply_bytes(GetParam().status));

    beep_cleanup();
    EXPECT_EQ(board.level(BEEP_CHIP, BEEP_OFFSET), 0);
    EXPECT_EQ(high_pulses(board, BEEP_CHIP, BEEP_OFFSET), 1) << "a refused pattern sounded";
}

INSTANTIATE_TEST_SUITE_P(Commands, StopWithBeepWaiterTest,
                         testing::Values(WaitingBeepCase{"Off", CMD_BEEP_OFF, STATUS_OK},
                                         WaitingBeepCase{"On", CMD_BEEP_ON, STATUS_FAILED},
                                         WaitingBeepCase{"Once", CMD_BEEP_ONCE, STATUS_FAILED},
                                         WaitingBeepCase{"Alarm", CMD_BEEP_ALARM, STATUS_FAILED}),
                         [](const testing::TestParamInfo<WaitingBeepCase> &param) { return param.param.name; });

// ---- Init, start, stop ----

class ServerLifecycleTest : public ControlServerTest {
protected:
    ServerLifecycleTest() { start_server_in_setup = false; }
};

TEST_F(ServerLifecycleTest, StaleSocketFileDoesNotBlockInit)
{
    // A socket bound by an earlier process that ended without removing it.
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = unix_address(socket_path());
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
    ASSERT_TRUE(file_exists(socket_path()));
    EXPECT_FALSE(connect().connected());

    testing::internal::CaptureStdout();
    ASSERT_EQ(ctl_server_init(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SOCKET: Server initialized at /var/run/tesmar_gpio.sock\n");
    ASSERT_EQ(ctl_server_start(), 0);
    EXPECT_EQ(connect().ask(request_bytes(CMD_LED_GET, 9)), reply_bytes(STATUS_OK, {0}));
}

TEST_F(ServerLifecycleTest, StopRemovesTheSocketAndStopsOnce)
{
    ASSERT_EQ(ctl_server_init(), 0);
    ASSERT_EQ(ctl_server_start(), 0);
    ASSERT_TRUE(connect().connected());

    testing::internal::CaptureStdout();
    EXPECT_EQ(ctl_server_stop(), 0);
    ctl_server_cleanup();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SOCKET: Server stopped\n");
    EXPECT_FALSE(file_exists(socket_path()));
    EXPECT_FALSE(connect().connected());
}

TEST_F(ServerLifecycleTest, StartTwiceRunsOneAcceptThread)
{
    SKIP_WHEN_EMULATED("counts /proc/self/task, where qemu-user's own threads come and go");
    ASSERT_EQ(ctl_server_init(), 0);
    ASSERT_EQ(ctl_server_start(), 0);
    // Counted from here: a sanitizer may add a thread of its own at the first start.
    int running = thread_count();
    EXPECT_EQ(ctl_server_start(), 0);
    EXPECT_EQ(thread_count(), running);
    ctl_server_stop();
    EXPECT_EQ(thread_count(), running - 1);
}

TEST_F(ServerLifecycleTest, SocketPathTooLongFailsInsteadOfTruncating)
{
    // 120 characters of root: the socket path no longer fits a Unix address.
    std::string root = board.root() + "/" + std::string(100, 'r');
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/var").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/var/run").c_str(), 0755), 0);
    setenv("TESMAR_GPIO_ROOT", root.c_str(), 1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(ctl_server_init(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "SOCKET: Failed to bind: File name too long\n");
    EXPECT_EQ(count_dir_entries(root + "/var/run"), 0);
}

TEST_F(ServerLifecycleTest, ServerDescriptorsAreCloseOnExec)
{
    int before = descriptor_count();
    ASSERT_EQ(ctl_server_init(), 0);
    ASSERT_EQ(ctl_server_start(), 0);
    ctl_peer peer = connect();
    ASSERT_EQ(peer.ask(request_bytes(CMD_LED_GET, 9)), reply_bytes(STATUS_OK, {0}));
    ASSERT_EQ(descriptor_count(), before + 3);  // listening, accepted, and the peer's own

    int checked = 0;
    DIR *dir = opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (dirent *e = readdir(dir)) {
        int fd = atoi(e->d_name);
        char target[64] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (e->d_name[0] == '.' || fd == dirfd(dir) || fd == peer.fd() ||
            readlink(link.c_str(), target, sizeof target - 1) < 0 || std::string_view(target).substr(0, 7) != "socket:")
            continue;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
        checked++;
    }
    closedir(dir);
    EXPECT_EQ(checked, 2);
}


// ---- Connection cap and request wait ----

// A server with room for four connections, each closed after 1.5 s without a request.
class ConnectionLimitTest : public ControlServerTest {
protected:
    void SetUp() override
    {
        ctl_server_set_limits({4, 1500ms});
        ControlServerTest::SetUp();
    }
    void TearDown() override
    {
        ControlServerTest::TearDown();
        ctl_server_set_limits({});
    }
};

// True when the server ends PEER's connection, unanswered, within TIMEOUT.
bool closed_unanswered(const ctl_peer &peer, std::chrono::milliseconds timeout)
{
    pollfd p{peer.fd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    std::uint8_t byte;
    return recv(peer.fd(), &byte, 1, MSG_DONTWAIT) <= 0;
}

TEST_F(ConnectionLimitTest, ClientBeyondTheCapIsRefusedAtOnceWhileServedOnesGoOn)
{
    const bytes request = request_bytes(CMD_12V_GET);
    std::vector<ctl_peer> served;
    for (int i = 0; i < 4; i++) {
        served.push_back(connect());
        ASSERT_EQ(served.back().ask(request), reply_bytes(STATUS_OK, {0})) << i;
    }
    ctl_peer refused = connect();
    ASSERT_TRUE(refused.connected());
    refused.send(request);
    // Told at once, well before any served connection would run out of time.
    EXPECT_TRUE(closed_unanswered(refused, 700ms));
    for (const ctl_peer &peer : served)
        EXPECT_EQ(peer.ask(request), reply_bytes(STATUS_OK, {0}));

    // A connection that ends gives its slot back.
    served.front().close();
    bool answered = wait_until([&] { return connect().ask(request) == reply_bytes(STATUS_OK, {0}); });
    EXPECT_TRUE(answered);
}

TEST_F(ConnectionLimitTest, SilentConnectionIsClosedWhileOneThatAsksStaysOpen)
{
    ctl_peer silent = connect();
    ctl_peer asking = connect();
    const auto begin = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - begin < 2500ms) {
        ASSERT_EQ(asking.ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {0}));
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_TRUE(closed_unanswered(silent, 5s));
    EXPECT_EQ(asking.ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {0}));
}

// Records of a watch stream; empty once the stream ends or stays silent for 5 s.
std::vector<WatchRecord> watch_records(const ctl_peer &peer, std::size_t count)
{
    std::vector<WatchRecord> records(count);
    bytes data = peer.receive_exactly(count * sizeof(WatchRecord));
    if (data.size() != count * sizeof(WatchRecord))
        return {};
    std::memcpy(records.data(), data.data(), data.size());
    return records;
}

const bytes watch_accepted = reply_bytes(STATUS_OK, {WATCH_VERSION, sizeof(WatchRecord)});

TEST_F(ControlServerTest, WatchSendsEveryValueThenEachFlipAsItHappens)
{
    ASSERT_EQ(input_monitor_start(), 0);
    ctl_peer watcher = connect();
    ASSERT_EQ(watcher.ask(request_bytes(CMD_WATCH)), watch_accepted);
    std::vector<WatchRecord> first = watch_records(watcher, 10);
    ASSERT_EQ(first.size(), 10u);
    const std::uint8_t kinds[] = {WATCH_INPUT,  WATCH_INPUT, WATCH_INPUT, WATCH_INPUT,      WATCH_SWITCH,
                                  WATCH_SWITCH, WATCH_LINK,  WATCH_LINK,  WATCH_CARD_STATE, WATCH_CARD_MOUNT};
    for (std::uint32_t i = 0; i < first.size(); i++) {
        EXPECT_EQ(first[i].kind, kinds[i]) << i;
        EXPECT_EQ(first[i].sequence, i);
        if (first[i].kind == WATCH_INPUT) {
            const auto [chip, offset] = input_lines[first[i].id];
            EXPECT_EQ(first[i].value, board.level(chip, offset));
        }
    }
    // Up and back within 50 ms: two records, whenever the stream gets to them.
    const auto [chip, offset] = input_lines[IN_VALID2];
    const int level = board.level(chip, offset);
    board.set_level(chip, offset, 1 - level);
    std::this_thread::sleep_for(20ms);
    board.set_level(chip, offset, level);
    std::vector<WatchRecord> flips = watch_records(watcher, 2);
    ASSERT_EQ(flips.size(), 2u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(flips[i].kind, WATCH_INPUT);
        EXPECT_EQ(flips[i].id, IN_VALID2);
        EXPECT_EQ(flips[i].value, i == 0 ? 1 - level : level);
    }
    EXPECT_GT(flips[1].time_ns, flips[0].time_ns);
}

TEST_F(ControlServerTest, WatchersAreCappedApartFromTheOtherConnections)
{
    std::vector<ctl_peer> watchers;
    for (int i = 0; i < CTL_WATCH_MAX; i++) {
        watchers.push_back(connect());
        ASSERT_EQ(watchers.back().ask(request_bytes(CMD_WATCH)), watch_accepted) << i;
    }
    ctl_peer refused = connect();
    EXPECT_EQ(refused.ask(request_bytes(CMD_WATCH)), reply_bytes(STATUS_FAILED, {WATCH_REFUSED_FULL}));
    EXPECT_TRUE(refused.receive().empty()) << "a refused watcher was sent more";
    EXPECT_EQ(connect().ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {0}));
    watchers.pop_back();
    ASSERT_TRUE(wait_until([] { return ctl_watch_count() < CTL_WATCH_MAX; }));
    EXPECT_EQ(connect().ask(request_bytes(CMD_WATCH)), watch_accepted);
}

// A watcher that stops reading holds nothing up; when it reads again it is told that it
// fell behind and gets the current values, with no record cut short or out of order.
TEST_F(ControlServerTest, StalledWatcherIsToldItLostRecordsAndResumes)
{
    ctl_peer watcher = connect();
    ASSERT_EQ(watcher.ask(request_bytes(CMD_WATCH)), watch_accepted);
    constexpr int changes = 1000;
    for (int i = 1; i <= changes; i++)
        change_post(CHANGE_INPUT, IN_VALID2, i % 2);
    EXPECT_EQ(connect().ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {0}));
    std::vector<WatchRecord> seen;
    while (seen.empty() || seen.back().kind != WATCH_CARD_MOUNT || !std::any_of(seen.begin(), seen.end(), [](auto &r) {
               return r.kind == WATCH_LOST;
           })) {
        std::vector<WatchRecord> one = watch_records(watcher, 1);
        ASSERT_EQ(one.size(), 1u) << "after " << seen.size() << " records";
        ASSERT_EQ(one[0].sequence, seen.size());
        seen.push_back(one[0]);
    }
    // The flood may outlast the resumption: the rest of it follows, then nothing.
    for (bytes more; !(more = watcher.receive_exactly(sizeof(WatchRecord), 500ms)).empty();) {
        ASSERT_EQ(more.size(), sizeof(WatchRecord));
        std::memcpy(&seen.emplace_back(), more.data(), more.size());
        ASSERT_EQ(seen.back().sequence, seen.size() - 1);
    }
    EXPECT_LT(seen.size(), static_cast<std::size_t>(changes));
    auto last_valid2 = std::find_if(seen.rbegin(), seen.rend(), [](auto &r) {
        return r.kind == WATCH_INPUT && r.id == IN_VALID2;
    });
    ASSERT_NE(last_valid2, seen.rend());
    EXPECT_EQ(last_valid2->value, changes % 2);
}

}  // namespace

