#include "log.h"
#include "process.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>

namespace {

std::string output_of(const std::string &command)
{
    std::string out;
    EXPECT_EQ(read_command(command, out), 0) << command;
    return out;
}

TEST(RunCommand, ReportsTheWaitStatusAsSystemDoes)
{
    EXPECT_EQ(run_command("true"), 0);
    int status = run_command("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    status = run_command("no-such-program-anywhere 2>/dev/null");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 127);
    status = run_command("kill -TERM $$");
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(ReadCommand, KeepsAtMostTheLimitAndStillReapsTheChild)
{
    std::string out;
    EXPECT_EQ(read_command("printf 'a\\nb\\n'", out), 0);
    EXPECT_EQ(out, "a\nb\n");
    // Far more than the pipe holds: the child must not block on a full pipe.
    EXPECT_EQ(read_command("head -c 200000 /dev/zero", out, 10), 0);
    EXPECT_EQ(out.size(), 10u);
}

// A word, however hostile, reaches the program as exactly one argument.
TEST(ShellQuote, NoWordCanChangeTheCommand)
{
    const std::string words[] = {
        "plain", "", "with blank", "x'; touch /tmp/pwned; '", "'", "''", "back\\slash",
        "$HOME $(id) `id`", "new\nline", "*", "-n", "a\"b", "../../etc",
    };
    for (const std::string &word : words)
        EXPECT_EQ(output_of("printf '%s' " + shell_quote(word)), word) << word;
}

TEST(SpawnProgram, RunsWithoutAShellAndRedirectsOutput)
{
    char path[] = "/tmp/tsb-spawn-XXXXXX";
    int fd = mkostemp(path, O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char echo[] = "echo";
    char arg[] = "$HOME;x";
    char *argv[] = {echo, arg, nullptr};
    pid_t pid = spawn_program("/bin/echo", argv, fd);
    ASSERT_GT(pid, 0);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    char buf[64] = {};
    EXPECT_EQ(pread(fd, buf, sizeof buf - 1, 0), 8);
    EXPECT_STREQ(buf, "$HOME;x\n");
    close(fd);
    unlink(path);

    // A program that cannot be executed is reported with the exec's reason, its child
    // (status 127) already reaped.
    char *missing[] = {echo, nullptr};
    for (const auto &[program, reason] : {std::pair{"/no/such/program", ENOENT}, std::pair{"/", EACCES}}) {
        bool exec_failed = false;
        errno = 0;
        EXPECT_EQ(spawn_program(program, missing, -1, &exec_failed), -1) << program;
        EXPECT_EQ(errno, reason) << program;
        EXPECT_TRUE(exec_failed) << program;
    }
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child left unreaped";
}

std::atomic<int> interrupts{0};
void count_interrupt(int) { interrupts.fetch_add(1); }

// Whatever the daemon ignores, blocks or catches, a child starts clean, sees only
// descriptors 0 to 2, and running it leaves the daemon's own handling alone.
TEST(RunCommand, ChildStartsCleanAndTheDaemonKeepsItsSignals)
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = count_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    int leaky = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
    ASSERT_GE(leaky, 3);

    mode_t daemon_mask = umask(077);
    std::string status = output_of("grep -E '^(Umask|SigBlk|SigIgn):' /proc/self/status");
    umask(daemon_mask);
    EXPECT_EQ(status, "Umask:\t0022\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    EXPECT_EQ(output_of("ls /proc/$$/fd"), "0\n1\n2\n");

    // system() would ignore SIGINT here, and the stop request would be lost.
    EXPECT_EQ(run_command("kill -INT $PPID"), 0);
    EXPECT_EQ(interrupts.load(), 1);
    close(leaky);
}

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// A scratch directory, removed with what the commands left in it.
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char name[] = "/tmp/tsb-process-XXXXXX";
        path = mkdtemp(name);
    }
    ~scratch_dir() { run_command("rm -rf " + shell_quote(path)); }
    std::string file(const char *name) const { return path + "/" + name; }
};

// Gone, or a zombie nobody has reaped yet: the process runs no more.
bool process_gone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto end_of_name = text.rfind(')');
    return end_of_name == std::string::npos || text.compare(end_of_name, 4, ") Z ") == 0;
}

bool wait_until_gone(pid_t pid)
{
    return wait_until([pid] { return process_gone(pid); }, 3s);
}

pid_t pid_in(const std::string &path)
{
    std::ifstream file(path);
    pid_t pid = -1;
    file >> pid;
    return pid;
}

struct LimitCase {
    const char *name;
    const char *command;  // "$D" is a scratch directory; a grandchild's pid goes to $D/child
    std::chrono::milliseconds limit;
    bool fails;
    std::chrono::milliseconds at_least, at_most;
    bool grandchild_stays = false;  // it left the group, as a server does
};

class RunLimitTest : public testing::TestWithParam<LimitCase> {};

// A run ends by its limit, whatever its program does, and takes its whole process group
// along; a program that leaves a server behind on its output does not hold the run.
TEST_P(RunLimitTest, EndsWithinItsLimitAndLeavesNothingRunning)
{
    scratch_dir dir;
    const LimitCase &c = GetParam();
    std::string command = "D=" + shell_quote(dir.path) + "; " + c.command;
    const auto begin = steady::now();
    errno = 0;
    const int status = run_command(command, c.limit);
    const auto took = steady::now() - begin;
    if (c.fails) {
        EXPECT_EQ(status, -1);
        EXPECT_EQ(errno, ETIMEDOUT);
    } else {
        EXPECT_EQ(status, 0);
    }
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most);
    const pid_t grandchild = pid_in(dir.file("child"));
    if (grandchild > 0 && c.grandchild_stays) {
        EXPECT_FALSE(process_gone(grandchild)) << "a grandchild that left the group was ended";
    } else if (grandchild > 0) {
        EXPECT_TRUE(wait_until_gone(grandchild)) << "a grandchild outlived its group's end";
    }
    if (grandchild > 0)
        kill(grandchild, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunLimitTest,
    testing::Values(
        LimitCase{"HungProgram", "sleep 30", 300ms, true, 300ms, 2s},
        LimitCase{"GrandchildInItsGroup", "sleep 30 & echo $! > $D/child; wait", 300ms, true, 300ms, 2s},
        LimitCase{"IgnoresSigterm", "trap '' TERM; while :; do sleep 0.1; done", 300ms, true, 3s, 5s},
        // The shell dies of SIGTERM; what ignores it is still in the group at the grace's end.
        LimitCase{"GrandchildIgnoresSigterm", "sh -c \"trap '' TERM; sleep 30\" & echo $! > $D/child; wait", 300ms,
                  true, 3s, 5s},
        LimitCase{"LeftoverOfARunThatEnded", "sleep 30 & echo $! > $D/child", 10s, false, 0ms, 2s},
        LimitCase{"ServerLeftHoldingTheOutput", "setsid sh -c \"echo \\$\\$ > $D/child; exec sleep 5\" & until [ -s $D/child ]; do sleep 0.01; done; echo started", 10s, false,
                  0ms, 2s, true}),
    [](const testing::TestParamInfo<LimitCase> &param) { return param.param.name; });

// A failed read has no output to mistake for an answer.
TEST(ReadCommand, OutputOfARunEndedByItsLimitIsDropped)
{
    std::string out;
    EXPECT_EQ(read_command("echo 1234; sleep 30", out, 4096, 300ms), -1);
    EXPECT_EQ(out, "");
}

// The daemon's standard output and error redirected to files while a test writes.
class captured_streams {
public:
    captured_streams()
    {
        std::fflush(nullptr);
        for (int fd : {1, 2}) {
            saved_[fd - 1] = dup(fd);
            files_[fd - 1] = std::tmpfile();
            dup2(fileno(files_[fd - 1]), fd);
        }
    }
    ~captured_streams() { restore(); }
    void restore()
    {
        for (int fd : {1, 2}) {
            if (saved_[fd - 1] >= 0) {
                dup2(saved_[fd - 1], fd);
                close(saved_[fd - 1]);
                saved_[fd - 1] = -1;
            }
        }
    }
    std::string text(int fd) const
    {
        std::string text;
        char buffer[512];
        std::size_t n;
        std::rewind(files_[fd - 1]);
        while ((n = std::fread(buffer, 1, sizeof buffer, files_[fd - 1])) > 0)
            text.append(buffer, n);
        return text;
    }

private:
    int saved_[2] = {-1, -1};
    std::FILE *files_[2] = {};
};

// fuser -k prints the pids it killed without a newline: that must not run into the
// daemon's next line. Standard error stays standard error.
TEST(ChildOutput, ReachesTheLogOnlyAsWholeLines)
{
    std::string read_out;
    captured_streams streams;
    run_command("printf 'one\\ntwo'; printf ' 812 813'; printf 'oops\\n\\n' >&2");
    log_out(LOG_INFO, "next");
    EXPECT_EQ(read_command("echo answer; echo warning >&2", read_out), 0);
    streams.restore();
    EXPECT_EQ(streams.text(1), "one\ntwo 812 813\nnext\n");
    EXPECT_EQ(streams.text(2), "oops\nwarning\n");
    EXPECT_EQ(read_out, "answer\n");
}

struct FloodCase {
    const char *name;
    const char *command;  // "$D" is a scratch directory; a writer's pid goes to $D/child
};

class ChildFloodTest : public testing::TestWithParam<FloodCase> {};

// Of a flood, the log gets at most the cap and one line for the rest; a writer that never
// pauses holds the run no longer than the drain's bound.
TEST_P(ChildFloodTest, LogGetsAtMostTheCapAndTheRunEnds)
{
    scratch_dir dir;
    captured_streams streams;
    auto run = std::async(std::launch::async,
                          [&] { return run_command("D=" + shell_quote(dir.path) + "; " + GetParam().command); });
    const bool ended = run.wait_for(5s) == std::future_status::ready;
    if (const pid_t writer = pid_in(dir.file("child")); writer > 0)
        kill(writer, SIGKILL);
    run.wait();
    streams.restore();
    ASSERT_TRUE(ended) << "the flood held the run";
    const std::string log = streams.text(1) + streams.text(2);
    EXPECT_LE(log.size(), child_output::log_cap + 1024);
    EXPECT_NE(log.find("beyond 65536 bytes not logged"), std::string::npos) << log.substr(log.size() - 300);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChildFloodTest,
    testing::Values(FloodCase{"WithinTheRun", "head -c 20000000 /dev/zero | tr '\\0' x >&2"},
                    FloodCase{"FromAWriterThatLeftTheGroup",
                              "setsid sh -c 'while :; do echo flood; done' >&2 & echo $! > $D/child; sleep 0.2"}),
    [](const testing::TestParamInfo<FloodCase> &param) { return param.param.name; });

// What the stop does, in a process of its own: it cannot be undone.
void stop_scenario()
{
    scratch_dir dir;
    auto fail = [](const char *what) {
        std::fprintf(stderr, "%s\n", what);
        _exit(1);
    };
    const std::string d = shell_quote(dir.path);
    // Long-running children are their owners' while they run, and the stop leaves them to
    // their owners; the owner ends what one left in its group before reaping it.
    char sleep_name[] = "sleep";
    char thirty[] = "30";
    char *dialer_argv[] = {sleep_name, thirty, nullptr};
    const pid_t dialer = spawn_program("/bin/sleep", dialer_argv, -1);
    std::string leave_behind = "sleep 30 & echo $! > " + d + "/left";
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *leaver_argv[] = {sh, dash_c, leave_behind.data(), nullptr};
    const pid_t leaver = spawn_program("/bin/sh", leaver_argv, -1);
    if (dialer < 0 || leaver < 0 || !wait_until([&] { return program_ended(leaver); }))
        fail("spawn_program");

    auto run_in_thread = [&](std::string command) {
        return std::async(std::launch::async, [command] {
            std::string out;
            int status = read_command(command, out);
            return status == -1 && errno == ECANCELED;
        });
    };
    auto stubborn = run_in_thread("touch " + d + "/a; trap '' TERM; while :; do sleep 0.1; done");
    auto plain = run_in_thread("touch " + d + "/b; sleep 30");
    if (!wait_until([&] { return file_exists(dir.file("a")) && file_exists(dir.file("b")) &&
                                 file_exists(dir.file("left")); }))
        fail("children did not start");
    const pid_t left = pid_in(dir.file("left"));
    if (end_program(leaver, 3s) != 0 || !wait_until_gone(left))
        fail("a program's group was left running after its end");

    const auto begin = steady::now();
    process_stop_all();
    // It leaves the graces to the runs' own threads, so they overlap with the rest of the stop.
    if (steady::now() - begin > 1s)
        fail("the stop waited for the runs");
    if (stubborn.wait_for(5s) != std::future_status::ready || !stubborn.get())
        fail("a child ignoring SIGTERM held its run");
    if (plain.wait_for(2s) != std::future_status::ready || !plain.get())
        fail("a child's run did not fail at stop");
    if (process_gone(dialer))
        fail("a running dialer was taken from its owner");
    if (!run_in_thread("true").get())
        fail("another thread started a run after the stop");
    if (run_command("exit 3") != 3 << 8)
        fail("the stop sequence could not run its own command");
    kill(dialer, SIGKILL);
    waitpid(dialer, nullptr, 0);
    _exit(0);
}

TEST(ProcessStopAll, EndsEveryRunAndRefusesNewOnesButTheStopSequences)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(stop_scenario(), testing::ExitedWithCode(0), "");
}

}  // namespace
