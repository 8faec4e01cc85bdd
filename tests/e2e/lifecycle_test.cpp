#include "emulation.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <thread>
#include <cstdlib>
#include <sstream>

namespace {

// True when WANTED appear in TEXT's lines in this order (other lines may lie between).
testing::AssertionResult lines_in_order(const std::string &text, const std::vector<std::string> &wanted)
{
    auto lines = lines_of(text);
    size_t next = 0;
    for (const auto &line : lines) {
        if (next < wanted.size() && line == wanted[next])
            next++;
    }
    if (next == wanted.size())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "missing \"" << wanted[next] << "\" (in order) in:\n" << text;
}

bool any_chip_touched(const SimBoard &board)
{
    for (int chip : {1, 3, 6, 8}) {
        if (file_exists(board.path("/dev/gpiochip" + std::to_string(chip) + "/chip.log")))
            return true;
    }
    return false;
}

// Every chip handle the daemon opened was closed again.
void expect_chips_closed(const SimBoard &board)
{
    for (int chip : {1, 3, 6, 8}) {
        std::string log = read_file(board.path("/dev/gpiochip" + std::to_string(chip) + "/chip.log"));
        EXPECT_EQ(count_lines(log, "open"), count_lines(log, "close")) << "gpiochip" << chip << ":\n" << log;
    }
}

struct UsageCase {
    const char *name;
    const char *option;
    int status;
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsUsageWithoutTouchingTheBoard)
{
    SimBoard board;
    auto env = board.env();
    env["LD_PRELOAD"] = preload_list();
    RunResult run = run_program({daemon_binary(), GetParam().option}, env);
    EXPECT_EQ(run.status, GetParam().status);
    EXPECT_EQ(run.out, "Usage: " + daemon_binary() + " [options]\n"
                       "Options:\n"
                       "  -f      Run in foreground (don't daemonize)\n"
                       "  -h      Show this help\n"
                       "  -V, --version  Show the version\n");
    EXPECT_FALSE(any_chip_touched(board));
    if (GetParam().status != 0)
        EXPECT_NE(run.err.find("invalid option"), std::string::npos) << run.err;
    else
        EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Options, UsageTest,
                         testing::Values(UsageCase{"Help", "-h", 0}, UsageCase{"UnknownOption", "-x", 1},
                                         UsageCase{"UnknownAfterForeground", "-fx", 1}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(Lifecycle, MissingChipEndsInitWithStatusOne)
{
    SimBoard board;
    ASSERT_EQ(system(("rm -rf " + board.path("/dev/gpiochip6")).c_str()), 0);
    DaemonProcess daemon(board);
    EXPECT_EQ(daemon.wait_exit(10s), 1);
    EXPECT_EQ(daemon.err(), "Failed to open /dev/gpiochip6: No such file or directory\n"
                            "Failed to initialize GPIO\n");
    EXPECT_EQ(daemon.out(), "Initializing GPIO manager...\n");
}

TEST(Lifecycle, UnrequestableOutputEndsInitBeforeAnyLaterStep)
{
    SimBoard board;
    write_file(board.line_file(6, 13, ".fail-request"), "");
    DaemonProcess daemon(board);
    EXPECT_EQ(daemon.wait_exit(10s), 1);
    EXPECT_EQ(daemon.err(), "Failed to request line for VOUT12V: Device or resource busy\n"
                            "Failed to initialize output GPIOs\n");
    std::string out = daemon.out();
    EXPECT_EQ(out.find("GPIO: Initialized input"), std::string::npos) << out;
    EXPECT_EQ(out.find("LED:"), std::string::npos) << out;
    EXPECT_EQ(out.find("All modules initialized"), std::string::npos) << out;
    EXPECT_FALSE(file_exists(board.path("/var/run/tesmar_gpio.sock")));
}

TEST(Lifecycle, FailedStartStopsWhatRunsCleansUpAndExitsOne)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer's own thread interceptor cannot be replaced by a preload";
    SimBoard board;
    // Thread 1 is the input monitor, threads 2 to 4 the link manager's, thread 5 the
    // control server's accept thread.
    DaemonProcess daemon(board, {"-f"},
                         {{"LD_PRELOAD", preload_list() + ":" + fail_thread_create_library()},
                          {"TESMAR_TEST_FAIL_THREAD", "5"}});
    EXPECT_EQ(daemon.wait_exit(10s), 1) << daemon.out() << daemon.err();
    EXPECT_EQ(daemon.err(), "SOCKET: Failed to create server thread\n"
                            "Failed to start socket server\n");
    std::string out = daemon.out();
    EXPECT_TRUE(lines_in_order(out, {"Starting services...", "Cleaning up...", "LINK: Module stopped",
                                     "LINK: Module cleaned up", "INPUT: Module cleaned up",
                                     "LED: Module cleaned up", "Cleanup complete"}));
    EXPECT_EQ(out.find("All services started"), std::string::npos) << out;
    EXPECT_EQ(out.find("Stopping services..."), std::string::npos) << out;
    EXPECT_TRUE(board.requested_lines().empty());
    expect_chips_closed(board);
}

TEST(Lifecycle, StartsInOrderAndStopsCleanlyOnSigterm)
{
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.out() << daemon.err();
    EXPECT_TRUE(lines_in_order(daemon.out(), {"Initializing GPIO manager...", "GPIO: Opened 4 chips",
                                              "GPIO: Initialized output BEEP (offset 11)",
                                              "GPIO: Initialized input WIFI (offset 10)", "All modules initialized",
                                              "Starting services...", "All services started"}));
    EXPECT_EQ(board.requested_lines().size(), 7u);

    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0) << daemon.out() << daemon.err();
    std::string out = daemon.out();
    EXPECT_TRUE(lines_in_order(out, {"All services started", "Stopping services...", "All services stopped",
                                     "Cleaning up...", "Cleanup complete", "GPIO manager stopped"}));
    EXPECT_EQ(lines_of(out).back(), "GPIO manager stopped");
    EXPECT_TRUE(board.requested_lines().empty());
    expect_chips_closed(board);
}

class StopSignalTest : public testing::TestWithParam<int> {};

TEST_P(StopSignalTest, StopsOnceEvenWhenSignalledTwice)
{
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.err();
    daemon.signal(GetParam());
    daemon.signal(GetParam());
    EXPECT_EQ(daemon.wait_exit(5s), 0);
    EXPECT_EQ(count_lines(daemon.out(), "Stopping services..."), 1);
    EXPECT_EQ(count_lines(daemon.out(), "Cleanup complete"), 1);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, testing::Values(SIGTERM, SIGINT),
                         [](const auto &param_info) { return std::string(sigabbrev_np(param_info.param)); });

// A line of /proc/PID/task/*/status for every thread of PID, by thread id: "Name:",
// "SigBlk:" or "voluntary_ctxt_switches:", say.
std::map<int, std::string> status_by_thread(pid_t pid, const std::string &field)
{
    std::map<int, std::string> values;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *dir = opendir(tasks.c_str())) {
        while (dirent *entry = readdir(dir)) {
            for (const std::string &line : lines_of(read_file(tasks + "/" + entry->d_name + "/status"))) {
                if (entry->d_name[0] != '.' && line.rfind(field, 0) == 0)
                    values[std::atoi(entry->d_name)] = line.substr(line.find_first_not_of(" \t", field.size()));
            }
        }
        closedir(dir);
    }
    return values;
}

// Signal masks of the daemon's threads: (thread id, mask).
std::vector<std::pair<int, unsigned long long>> blocked_signals_by_thread(pid_t pid)
{
    std::vector<std::pair<int, unsigned long long>> masks;
    for (const auto &[tid, mask] : status_by_thread(pid, "SigBlk:"))
        masks.emplace_back(tid, std::stoull(mask, nullptr, 16));
    return masks;
}

// A stop signal taken by a module thread would leave the main thread asleep; only the
// main thread may take them, while it waits in its run loop.
TEST(Lifecycle, OnlyTheMainThreadTakesTheStopSignals)
{
    SKIP_WHEN_EMULATED("the emulator's own threads are listed beside the daemon's");
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.err();
    const unsigned long long stop_signals = 1ULL << (SIGINT - 1) | 1ULL << (SIGTERM - 1) | 1ULL << (SIGHUP - 1);
    // The main thread takes the signals once the start-up beep is under way.
    std::vector<std::pair<int, unsigned long long>> masks;
    EXPECT_TRUE(wait_until([&] {
        masks = blocked_signals_by_thread(daemon.pid());
        for (const auto &[tid, mask] : masks) {
            if (tid == daemon.pid())
                return (mask & stop_signals) == 0;
        }
        return false;
    }));
    ASSERT_GT(masks.size(), 3u);
    for (const auto &[tid, mask] : masks) {
        if (tid == daemon.pid())
            EXPECT_EQ(mask & stop_signals, 0u) << "main thread";
        else
            EXPECT_EQ(mask & stop_signals, stop_signals) << "thread " << tid;
    }
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

// Without a watching manager the main thread has nothing to do between signals, so an
// idle daemon does not wake it. Every other thread carries a name of its own, for top -H
// and a core dump.
TEST(Lifecycle, IdleMainThreadSleepsAndEveryThreadIsNamed)
{
    SKIP_WHEN_EMULATED("the emulator's own threads are listed beside the daemon's");
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.err();
    std::this_thread::sleep_for(500ms);  // the start-up beep
    const auto before = status_by_thread(daemon.pid(), "voluntary_ctxt_switches:");
    std::this_thread::sleep_for(2500ms);
    const auto after = status_by_thread(daemon.pid(), "voluntary_ctxt_switches:");
    ASSERT_TRUE(before.count(daemon.pid()) && after.count(daemon.pid()));
    EXPECT_EQ(before.at(daemon.pid()), after.at(daemon.pid()));

    const auto names = status_by_thread(daemon.pid(), "Name:");
    EXPECT_GT(names.size(), 3u);
    std::vector<int> unnamed;
    for (const auto &[tid, name] : names) {
        if (tid != daemon.pid() && name == "tesmar_gpio")
            unnamed.push_back(tid);
    }
#if defined(__SANITIZE_THREAD__)
    EXPECT_LE(unnamed.size(), 1u);  // the sanitizer's own thread
#else
    EXPECT_EQ(unnamed, std::vector<int>{});
#endif
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

TEST(Lifecycle, SighupLeavesTheDaemonRunning)
{
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n", 10s)) << daemon.err();
    daemon.signal(SIGHUP);
    // Long enough for the run loop to look at its flag at least once.
    EXPECT_FALSE(daemon.wait_exit(1500ms).has_value());
    EXPECT_EQ(daemon.out().find("Stopping services..."), std::string::npos);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(5s), 0);
}

std::string link_target(const std::string &path)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

// The program a process runs, as a path. Natively that is its executable; under qemu-user
// the executable is qemu, which binfmt starts with the program's path as its first argument.
bool runs_program(const std::string &proc_dir, const std::string &program)
{
    if (link_target(proc_dir + "/exe") == program)
        return true;
    std::istringstream cmdline(read_file(proc_dir + "/cmdline"));
    std::string argument;
    for (int i = 0; i < 2 && std::getline(cmdline, argument, '\0'); i++) {
        if (argument == program)
            return true;
    }
    return false;
}

// The detached daemon is not our child: find it by its board root in its environment.
pid_t find_daemon(const SimBoard &board)
{
    const std::string marker = "TESMAR_GPIO_ROOT=" + board.root();
    DIR *proc = opendir("/proc");
    pid_t found = -1;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        std::string dir = "/proc/" + std::string(entry->d_name);
        if (!runs_program(dir, daemon_binary()))
            continue;
        std::istringstream environ(read_file(dir + "/environ"));
        for (std::string variable; std::getline(environ, variable, '\0');) {
            if (variable == marker)
                found = static_cast<pid_t>(pid);
        }
    }
    closedir(proc);
    return found;
}

bool process_gone(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty())
        return true;
    auto close_paren = stat.rfind(')');
    return close_paren != std::string::npos && stat.size() > close_paren + 2 && stat[close_paren + 2] == 'Z';
}

TEST(Lifecycle, DaemonModeDetachesIntoItsOwnSession)
{
    SimBoard board;
    auto env = board.env();
    env["LD_PRELOAD"] = preload_list();
    RunResult run = run_program({daemon_binary()}, env, 5s);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Starting as daemon...\n");

    pid_t pid = -1;
    ASSERT_TRUE(wait_until([&] { return (pid = find_daemon(board)) > 0; }, 5s)) << "detached daemon not found";
    // It has requested its lines once its init ran.
    EXPECT_TRUE(wait_until([&] { return board.requested_lines().size() == 7; }, 10s));
    EXPECT_EQ(getsid(pid), pid);
    EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/cwd"), "/");
    for (int fd : {0, 1, 2})
        EXPECT_EQ(link_target("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)), "/dev/null") << fd;

    kill(pid, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return process_gone(pid); }, 5s));
    EXPECT_TRUE(wait_until([&] { return board.requested_lines().empty(); }, 1s));
}

}  // namespace

namespace {

// Under systemd the journal reads each line's level from a "<N>" prefix; it is told that
// it is the stream through JOURNAL_STREAM, the device and inode of the daemon's output.
TEST(Lifecycle, UnderTheJournalEveryLineCarriesItsLevel)
{
    SimBoard board;
    std::string log = board.root() + "/journal.log";
    std::string script =
        "exec >\"$LOG\" 2>&1; export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1);"
        "LD_PRELOAD=\"$PRELOAD\" \"$DAEMON\" -f & pid=$!;"
        "for i in $(seq 200); do grep -q 'All services started' \"$LOG\" && break; sleep 0.1; done;"
        "kill -TERM $pid; wait $pid";
    auto env = board.env();
    env["PRELOAD"] = preload_list();  // the daemon's alone: the shell may be another machine's
    env["LOG"] = log;
    env["DAEMON"] = daemon_binary();
    RunResult run = run_program({"/bin/sh", "-c", script}, env, 30s);
    ASSERT_EQ(run.status, 0) << read_file(log);
    auto lines = lines_of(read_file(log));
    ASSERT_GT(lines.size(), 20u);
    for (const std::string &line : lines)
        EXPECT_TRUE(line.size() > 3 && line[0] == '<' && line[2] == '>') << line;
    EXPECT_EQ(count_lines(read_file(log), "<6>All services started"), 1);
    EXPECT_EQ(lines.back(), "<6>GPIO manager stopped");
}

}  // namespace
