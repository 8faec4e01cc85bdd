#include "process.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char **environ;

namespace {

// The attributes every child starts with: each signal at its default action and none
// blocked, whatever the daemon has installed or masked.
class spawn_attributes {
public:
    spawn_attributes()
    {
        posix_spawnattr_init(&attr_);
        sigset_t all;
        sigfillset(&all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr_, &all);
        posix_spawnattr_setsigmask(&attr_, &none);
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~spawn_attributes() { posix_spawnattr_destroy(&attr_); }
    spawn_attributes(const spawn_attributes &) = delete;
    spawn_attributes &operator=(const spawn_attributes &) = delete;
    const posix_spawnattr_t *get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
};

// Descriptor moves in the child. Every descriptor of ours is close-on-exec already; the
// final close-from makes sure that nothing opened by a library without it leaks either.
class spawn_actions {
public:
    spawn_actions() { posix_spawn_file_actions_init(&actions_); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions_); }
    spawn_actions(const spawn_actions &) = delete;
    spawn_actions &operator=(const spawn_actions &) = delete;
    void redirect(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }
    void close_rest() { posix_spawn_file_actions_addclosefrom_np(&actions_, 3); }
    posix_spawn_file_actions_t *get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

pid_t spawn(const char *path, char *const argv[], spawn_actions &actions)
{
    static const spawn_attributes attributes;
    actions.close_rest();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path, actions.get(), attributes.get(), argv, environ);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

pid_t spawn_shell(const std::string &command, spawn_actions &actions)
{
    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command.c_str()), nullptr};
    return spawn("/bin/sh", argv, actions);
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
    spawn_actions actions;
    pid_t pid = spawn_shell(command, actions);
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

    spawn_actions actions;
    actions.redirect(write_end.get(), STDOUT_FILENO);
    pid_t pid = spawn_shell(command, actions);
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
    spawn_actions actions;
    if (output_fd >= 0) {
        actions.redirect(output_fd, STDOUT_FILENO);
        actions.redirect(output_fd, STDERR_FILENO);
    }
    return spawn(path, argv, actions);
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
