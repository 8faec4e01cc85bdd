#include "process.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace {

// Puts every signal back to its default action, straight through the kernel: the C
// library refuses to touch the signals it keeps for itself, and its posix_spawn leaves
// those ignored in the child.
void reset_signals_in_child()
{
    struct kernel_sigaction {
        void (*handler)(int);
        unsigned long flags;
        void (*restorer)();
        unsigned long mask;
    } default_action{SIG_DFL, 0, nullptr, 0};
    for (int sig = 1; sig <= 64; ++sig)
        syscall(SYS_rt_sigaction, sig, &default_action, nullptr, sizeof default_action.mask);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Where the child's descriptors 1 and 2 come from; -1 leaves them as the daemon's.
struct child_output {
    int stdout_fd = -1;
    int stderr_fd = -1;
};

// Forks and execs PATH. Between fork and exec the child only makes async-signal-safe
// calls. A program that cannot be executed ends the child with status 127, as a shell
// would report it, so callers see one kind of failure for a missing program.
pid_t spawn(const char *path, char *const argv[], child_output output)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    reset_signals_in_child();
    // The daemon may run with a strict mask (its socket is root's alone); the programs it
    // starts write files other users read, such as a resolver configuration.
    umask(022);
    if (output.stdout_fd >= 0)
        dup2(output.stdout_fd, STDOUT_FILENO);
    if (output.stderr_fd >= 0)
        dup2(output.stderr_fd, STDERR_FILENO);
    // Every descriptor of ours is close-on-exec already; this also covers any that a
    // library opened without it.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    execve(path, argv, environ);
    _exit(127);
}

pid_t spawn_shell(const std::string &command, child_output output = {})
{
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command.c_str()), nullptr};
    return spawn("/bin/sh", argv, output);
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

}  // namespace

int run_command(const std::string &command)
{
    pid_t pid = spawn_shell(command);
    return pid < 0 ? -1 : wait_for(pid);
}

int read_command(const std::string &command, std::string &output, std::size_t max_bytes)
{
    output.clear();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        return -1;
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);

    pid_t pid = spawn_shell(command, {write_end.get(), -1});
    write_end.reset();
    if (pid < 0)
        return -1;

    char chunk[4096];
    for (;;) {
        ssize_t n = read(read_end.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::size_t room = max_bytes - output.size();
        output.append(chunk, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
    }
    read_end.reset();
    return wait_for(pid);
}

pid_t spawn_program(const char *path, char *const argv[], int output_fd)
{
    return spawn(path, argv, {output_fd, output_fd});
}

std::string shell_quote(std::string_view word)
{
    std::string quoted;
    quoted.reserve(word.size() + 2);
    quoted += '\'';
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}
