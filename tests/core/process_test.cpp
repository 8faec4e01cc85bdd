#include "process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

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

    // As a shell would report it: the child ends with 127.
    char *missing[] = {echo, nullptr};
    pid = spawn_program("/no/such/program", missing, -1);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127);
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

}  // namespace
