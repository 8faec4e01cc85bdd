// The shipped daemon where a stop or a start meets trouble: requests waiting behind a long
// beep, an outside program that hangs, a log pipe whose reader has gone, a second daemon
// started on the same board.
#include "ctl_test_peer.h"
#include "sdcard_board.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <future>
#include <memory>

namespace {

constexpr int BEEP_CHIP = 1, BEEP_OFFSET = 11;
constexpr int VOUT_CHIP = 6, VOUT_OFFSET = 13;

int threads_of(pid_t pid) { return count_dir_entries("/proc/" + std::to_string(pid) + "/task"); }

// The daemon in the foreground on a fresh board, started and answering.
class StopFaultTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.out() << daemon.err();
    }

    ctl_peer connect() const { return ctl_peer(board.path(CTL_SOCKET_PATH)); }

    SimBoard board;
    DaemonProcess daemon{board};
};

struct WaiterCase {
    const char *name;
    std::uint16_t pattern_ms;  // of the beep the waiter queues behind
    std::uint8_t cmd;
    std::uint8_t status;
};

class BeepWaiterAtStopTest : public StopFaultTest, public testing::WithParamInterface<WaiterCase> {};

TEST_P(BeepWaiterAtStopTest, WaiterGetsItsReplyAndTheStopIsPrompt)
{
    ctl_peer playing = connect();
    ASSERT_EQ(playing.ask(request_bytes(CMD_BEEP_ONCE, 0, GetParam().pattern_ms)), reply_bytes(STATUS_OK));
    ASSERT_TRUE(wait_until([&] { return board.level(BEEP_CHIP, BEEP_OFFSET) == 1; }));

    const int threads_before = threads_of(daemon.pid());
    ctl_peer waiting = connect();
    ASSERT_TRUE(waiting.send(request_bytes(GetParam().cmd)));
    ASSERT_TRUE(wait_until([&] { return threads_of(daemon.pid()) == threads_before + 1; }));

    const auto signalled = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    EXPECT_EQ(waiting.receive_exactly(sizeof(ControlReply)), reply_bytes(GetParam().status));
    ASSERT_EQ(daemon.wait_exit(10s), 0) << daemon.err();
    // The run loop notices the signal within its one-second step; the stop itself is quick.
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
    EXPECT_EQ(board.level(BEEP_CHIP, BEEP_OFFSET), 0);
    EXPECT_EQ(board.transitions(BEEP_CHIP, BEEP_OFFSET).back().second, 0);
}

INSTANTIATE_TEST_SUITE_P(Waiters, BeepWaiterAtStopTest,
                         testing::Values(WaiterCase{"OnBehindThreeSeconds", 3000, CMD_BEEP_ON, STATUS_FAILED},
                                         WaiterCase{"OffBehindTwentySeconds", 20000, CMD_BEEP_OFF, STATUS_OK}),
                         [](const testing::TestParamInfo<WaiterCase> &param) { return param.param.name; });

// Processes whose command line holds TEXT.
int processes_with(const std::string &text)
{
    int count = 0;
    std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
    while (dirent *entry = readdir(proc.get())) {
        std::string cmdline = read_file(std::string("/proc/") + entry->d_name + "/cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && cmdline.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

struct HangCase {
    const char *name;
    const char *hang_file;  // board file that makes a stand-in sleep its content's seconds
    std::uint8_t cmd;       // the request that runs it
};

class HungChildAtStopTest : public StopFaultTest, public testing::WithParamInterface<HangCase> {};

// Whatever outside program hangs, the stop ends it and finishes its cleanup promptly.
TEST_P(HungChildAtStopTest, StopEndsItAndCleansUpWithinTenSeconds)
{
    // Unique to this test process: other tests that run beside it hang their children too.
    const std::string seconds = std::to_string(900000 + getpid() % 90000);
    const std::string marker = "sleep " + seconds;
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/tmData"}), 0);
    write_file(board.path(GetParam().hang_file), seconds + "\n");
    ASSERT_EQ(connect().ask(request_bytes(CMD_12V_ON)), reply_bytes(STATUS_OK));
    ctl_peer asking = connect();
    ASSERT_TRUE(asking.send(request_bytes(GetParam().cmd)));
    ASSERT_TRUE(wait_until([&] { return processes_with(marker) == 1; }, 10s)) << daemon.out();

    const auto signalled = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(15s), 0) << daemon.out() << daemon.err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 10s);
    EXPECT_NE(daemon.out().find("Cleanup complete\nGPIO manager stopped\n"), std::string::npos) << daemon.out();
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 0);
    EXPECT_TRUE(wait_until([&] { return processes_with(marker) == 0; }, 2s));
}

INSTANTIATE_TEST_SUITE_P(
    Hangs, HungChildAtStopTest,
    testing::Values(HangCase{"AccessPointScriptStart", "/usr/lib/tesmar_gpio/wifi_ap.sh.delay", CMD_WIFI_TOGGLE},
                    HangCase{"FuserInSdcardStatus", "/sim/bin/fuser.hang", CMD_SDCARD_STATUS}),
    [](const testing::TestParamInfo<HangCase> &param) { return param.param.name; });

// Of each run's output, what the daemon passes to its log at most.
constexpr std::size_t child_log_cap = 64 * 1024;

// Everything hung at once: an access-point script deaf to SIGTERM, with a child and a
// grandchild that floods its standard error, for "start" and again for the stop's "stop";
// a dialer deaf to SIGTERM with a helper that is deaf too. The graces run side by side.
TEST(EverythingHungAtStop, StopEndsWithinTenSecondsLeavesNothingAndCapsTheLog)
{
    SimBoard board;
    write_file(board.path("/var/lib/tesmar_gpio/link_state"), "1 1\n");
    write_file(board.path("/usr/bin/quectel-CM.ignore-term"), "");
    write_file(board.path("/usr/bin/quectel-CM.child"), "");
    write_file(board.path("/usr/bin/quectel-CM.delay"), "0.2\n");
    const std::string script = board.path("/usr/lib/tesmar_gpio/wifi_ap.sh");
    write_file(script, "#!/bin/sh\n"
                       "unset LD_PRELOAD\n"
                       "trap '' TERM\n"
                       "sh -c 'sh -c \"while :; do echo flood; done\" \"$0\" >&2; sleep 300' \"$0\" &\n"
                       "while :; do sleep 0.1; done\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("LINK: 4G connected via wwu1u2i4\n", 10s)) << daemon.out();
    // The script, its child and the flooding grandchild; the dialer and its helper.
    ASSERT_TRUE(wait_until([&] { return processes_with(board.root()) >= 5; })) << processes_with(board.root());

    const auto signalled = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(15s), 0) << daemon.out();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 10s);
    EXPECT_NE(daemon.out().find("Cleanup complete\nGPIO manager stopped\n"), std::string::npos) << daemon.out();
    EXPECT_NE(daemon.out().find("LINK: quectel-CM force killed\n"), std::string::npos) << daemon.out();
    EXPECT_TRUE(wait_until([&] { return processes_with(board.root()) == 0; }, 2s)) << "left alive";
    // Two runs of the script ("start", then the stop's "stop"), each held to the cap.
    const std::string log = daemon.out() + daemon.err();
    EXPECT_LE(log.size(), 2 * child_log_cap + 16 * 1024);
    EXPECT_GT(count_lines(log, "flood"), 1000);  // the output did reach the log, up to the cap
    EXPECT_NE(log.find("bytes not logged"), std::string::npos);
}

// A process that takes the pid of a dialer the daemon has reaped, in a private pid
// namespace (ns_last_pid), receives no signal from the daemon's stop.
TEST(ReapedDialerPid, UnrelatedProcessOnItGetsNoSignalFromTheStop)
{
    int planted_runs = 0;
    for (int attempt = 1; attempt <= 6 && planted_runs < 3; ++attempt) {
        SimBoard board;
        write_file(board.path("/var/lib/tesmar_gpio/link_state"), "1 0\n");
        write_file(board.path("/usr/bin/quectel-CM.delay"), "0.2\n");
        const std::string script = board.root() + "/plant.sh";
        write_file(script, R"sh(set -u
root=$TESMAR_GPIO_ROOT
dialer=$root/usr/bin/quectel-CM
starts() { cat "$dialer.log" 2>/dev/null | grep -c ' start '; }
# Tries EXPR every 0.1 s, up to TENTHS times (default 100).
until_true() { n=0; while ! eval "$1"; do n=$((n + 1)); [ $n -lt "${2:-100}" ] || return 1; sleep 0.1; done; }
LD_PRELOAD=$DAEMON_PRELOAD "$1" -f >"$root/daemon.out" 2>&1 &
daemon=$!
until_true '[ "$(starts)" -ge 1 ] && grep -q " up" "$dialer.log"' || { echo "no dialer"; exit 2; }
old=$(cat "$dialer.pid")
kill -KILL "$old"
# The worker looks at a dead dialer on its 10 s round, whether the kill came before or
# after it saw the interface up.
until_true '[ "$(starts)" -ge 2 ]' 300 || { echo "no second dialer"; exit 2; }
echo $((old - 1)) >/proc/sys/kernel/ns_last_pid
setsid sh -c 'trap "echo TERM >>$0" TERM; : >"$0.ready"; while :; do sleep 0.1; done' "$root/planted.log" &
planted=$!
[ "$planted" = "$old" ] || { kill -KILL "$planted"; kill -TERM "$daemon"; wait "$daemon"; echo "pid taken"; exit 3; }
# A group leader of its own (setsid has run) before the stop begins.
until_true '[ -e "$root/planted.log.ready" ]' || { echo "planted process did not start"; exit 2; }
kill -TERM "$daemon"
wait "$daemon"
sleep 0.3
kill -0 "$planted" 2>/dev/null || { echo "planted process was killed"; exit 1; }
[ ! -s "$root/planted.log" ] || { echo "planted process got SIGTERM"; exit 1; }
kill -KILL "$planted"
exit 0
)sh");
        auto env = board.env();
        env["DAEMON_PRELOAD"] = preload_list();
        RunResult run = run_program({"/usr/bin/unshare", "-Urpf", "--mount-proc", "/bin/sh", script, daemon_binary()},
                                    env, 60s);
        if (run.status != 0 && run.err.find("unshare") != std::string::npos)
            GTEST_SKIP() << "no private pid namespace here: " << run.err;
        if (run.status == 3)
            continue;  // another process took the pid first; try again
        ASSERT_EQ(run.status, 0) << "attempt " << attempt << ": " << run.out << run.err
                                 << read_file(board.root() + "/daemon.out");
        ++planted_runs;
    }
    EXPECT_EQ(planted_runs, 3) << "the old pid was taken by others each time";
}

TEST_F(StopFaultTest, SecondDaemonOnTheSameBoardExitsOneAndLeavesTheFirstAlone)
{
    ASSERT_EQ(connect().ask(request_bytes(CMD_12V_ON)), reply_bytes(STATUS_OK));

    auto env = board.env();
    env["LD_PRELOAD"] = preload_list();
    RunResult second = run_program({daemon_binary(), "-f"}, env, 10s);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "Failed to request line for BEEP: Device or resource busy\n"
                          "Failed to initialize output GPIOs\n");

    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 1);
    EXPECT_EQ(connect().ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {1}));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
    EXPECT_FALSE(file_exists(board.path(CTL_SOCKET_PATH)));
}

// The daemon with its standard output on a pipe, as under "| tee log".
class PipedDaemon {
public:
    explicit PipedDaemon(const SimBoard &board)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        read_end_ = fds[0];
        auto env = board.env();
        env["LD_PRELOAD"] = preload_list();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (board.root() + "/piped.err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_ = spawn_with_env({daemon_binary(), "-f"}, env, &actions);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
    }
    ~PipedDaemon()
    {
        close_reader();
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Reads the pipe until TEXT has come; false at end of stream or after the deadline.
    bool read_until(const std::string &text, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{read_end_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
                return false;
            char buffer[512];
            ssize_t got = read(read_end_, buffer, sizeof buffer);
            if (got <= 0)
                return false;
            output_.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    void close_reader()
    {
        if (read_end_ >= 0)
            close(read_end_);
        read_end_ = -1;
    }

    // Exit status, or 128 + signal, once it has ended within TIMEOUT.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout)
    {
        wait_until([&] {
            int raw;
            if (waitpid(pid_, &raw, WNOHANG) != pid_)
                return false;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return true;
        }, timeout);
        return status_;
    }

    pid_t pid() const { return pid_; }

private:
    int read_end_ = -1;
    pid_t pid_ = -1;
    std::string output_;
    std::optional<int> status_;
};

TEST(LogPipe, ClosedLogPipeNeitherEndsTheDaemonNorSkipsItsCleanup)
{
    SimBoard board;
    PipedDaemon daemon(board);
    ASSERT_GT(daemon.pid(), 0);
    ASSERT_TRUE(daemon.read_until("All services started\n"));
    ctl_peer peer(board.path(CTL_SOCKET_PATH));
    ASSERT_EQ(peer.ask(request_bytes(CMD_12V_ON)), reply_bytes(STATUS_OK));

    daemon.close_reader();
    // A connection's log lines and the stop's own all go to the pipe without a reader.
    ASSERT_EQ(peer.ask(request_bytes(CMD_LED_ON, 0)), reply_bytes(STATUS_OK));
    EXPECT_EQ(ctl_peer(board.path(CTL_SOCKET_PATH)).ask(request_bytes(CMD_12V_GET)), reply_bytes(STATUS_OK, {1}));
    kill(daemon.pid(), SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0) << read_file(board.root() + "/piped.err");
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 0);
    EXPECT_FALSE(file_exists(board.path(CTL_SOCKET_PATH)));
    EXPECT_TRUE(board.requested_lines().empty());
}

}  // namespace
