#include "process.h"

#include "log.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Between SIGTERM and SIGKILL to a child's process group, at its limit or at stop.
constexpr std::chrono::milliseconds kill_grace = 3s;
// The most a run of the stop sequence itself may take once the stop has begun.
constexpr std::chrono::milliseconds stop_phase_limit = 5s;
// A line of a child's output longer than this reaches the log in pieces.
constexpr std::size_t max_line = 1024;
// Where a starting child runs until exec: a few raw system calls need little.
constexpr std::size_t child_stack_size = 16 * 1024;
// How long a child may run before its output is read as it comes (see wait_for); a child
// that fills a pipe meanwhile waits that long at most.
constexpr std::chrono::milliseconds quiet_start = 50ms;
// How often the exit of a child is looked for where the kernel offers no process descriptor.
constexpr int exit_poll_ms = 20;

// Code that runs in a starting child, which shares the daemon's memory until it execs: no
// instrumentation (a sanitizer would touch its own state in the daemon's memory) and only
// raw system calls (the C library's wrappers write errno, which is the daemon thread's).
#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

#if defined(__x86_64__)
CHILD_CODE __attribute__((always_inline)) inline long raw_call(long number, long a = 0, long b = 0, long c = 0,
                                                                long d = 0)
{
    long result;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return result;
}
#elif defined(__aarch64__)
CHILD_CODE __attribute__((always_inline)) inline long raw_call(long number, long a = 0, long b = 0, long c = 0,
                                                                long d = 0)
{
    register long x8 __asm__("x8") = number;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
}
#else
#error "raw system calls are written for x86_64 and aarch64 only"
#endif

// What a starting child needs; it only reads this.
struct child_setup {
    const char *path;
    char *const *argv;
    int stdout_fd;  // -1: the daemon's
    int stderr_fd;
};

// A starting child's view: its set-up, and the one word it writes back into our memory.
struct child_start {
    const child_setup *setup;
    // Set once the child has made its process group. The child runs to its exec before
    // the clone returns, so the parent finds it set, unless an emulator started the child
    // as fork starts one (its own copy of memory, not waited for).
    volatile int grouped;
};

// A started child: its pid, and a descriptor that becomes readable when it ends (invalid
// where the kernel offers none).
struct started_child {
    pid_t pid = -1;
    unique_fd exit_fd;
};

// The child between clone and exec. Every signal goes back to its default action straight
// through the kernel: the C library refuses to touch the signals it keeps for itself, and
// its posix_spawn leaves those ignored in the child.
CHILD_CODE int child_main(void *arg)
{
    child_start *start = static_cast<child_start *>(arg);
    const child_setup *setup = start->setup;
    // The kernel's sigaction: SIG_DFL, no flags, no restorer, an empty mask (all zero).
    volatile unsigned long default_action[4] = {0, 0, 0, 0};
    for (long sig = 1; sig <= 64; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP)
            raw_call(SYS_rt_sigaction, sig, reinterpret_cast<long>(default_action), 0, 8);
    }
    volatile unsigned long no_signals = 0;
    raw_call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&no_signals), 0, 8);
    // A group of its own: a limit or the stop ends the child with whatever it started, and
    // a Ctrl-C at the daemon's terminal is the daemon's alone.
    if (raw_call(SYS_setpgid, 0, 0) == 0)
        start->grouped = 1;
    // The daemon may run with a strict mask (its socket is root's alone); the programs it
    // starts write files other users read, such as a resolver configuration.
    raw_call(SYS_umask, 022);
    if (setup->stdout_fd >= 0 && setup->stdout_fd != STDOUT_FILENO)
        raw_call(SYS_dup3, setup->stdout_fd, STDOUT_FILENO, 0);
    if (setup->stderr_fd >= 0 && setup->stderr_fd != STDERR_FILENO)
        raw_call(SYS_dup3, setup->stderr_fd, STDERR_FILENO, 0);
    // Every descriptor of ours is close-on-exec already; this also covers any that a
    // library opened without it.
    raw_call(SYS_close_range, 3, static_cast<long>(~0U), 0);
    raw_call(SYS_execve, reinterpret_cast<long>(setup->path), reinterpret_cast<long>(setup->argv),
             reinterpret_cast<long>(environ));
    // As a shell would report it: callers see one kind of failure for a missing program.
    raw_call(SYS_exit_group, 127);
    return 127;
}

// Starts a child that shares our memory and stack pages until it execs, as posix_spawn
// does: no page table is copied, however large the daemon. The calling thread waits in
// the kernel until the child has exec'd or ended. Every signal is blocked meanwhile, so no
// handler of ours runs on the child's stack before it has reset them.
started_child start_child(const child_setup &setup)
{
    alignas(16) char stack[child_stack_size];
    child_start start{&setup, 0};
    started_child child;
    int exit_fd = -1;
    unsigned long all_signals = ~0UL;
    unsigned long old_mask = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all_signals, &old_mask, 8);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer takes any clone of a process for a fork and rebuilds its own state
    // in the child, which in a child sharing our memory would be the daemon's: the
    // sanitized build forks, and measures nothing of a start's cost anyway.
    (void)stack;
    child.pid = fork();
    if (child.pid == 0)
        child_main(&start);
#else
    // The exit descriptor comes with the clone where the kernel (or an emulator) offers it.
    static std::atomic<bool> clone_gives_exit_fd{true};
    const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
    if (clone_gives_exit_fd.load(std::memory_order_relaxed)) {
        child.pid = clone(child_main, stack + sizeof stack, flags | CLONE_PIDFD, &start, &exit_fd);
        if (child.pid < 0 && errno == EINVAL)
            clone_gives_exit_fd.store(false, std::memory_order_relaxed);
    }
    if (!clone_gives_exit_fd.load(std::memory_order_relaxed))
        child.pid = clone(child_main, stack + sizeof stack, flags, &start);
#endif
    const int clone_errno = errno;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old_mask, nullptr, 8);
    if (child.pid > 0) {
        // Before anyone signals the group: see child_start::grouped. (After an exec this
        // fails, harmlessly.)
        if (start.grouped == 0)
            setpgid(child.pid, child.pid);
        child.exit_fd.reset(exit_fd >= 0 ? exit_fd : static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0)));
    }
    errno = clone_errno;
    return child;
}

struct child_entry {
    pid_t pid;            // also its process group
    bool timed;           // a run_command or read_command child, waited on in this file
    bool ended_by_stop;   // signalled by process_stop_all: the run fails
};

// Every child started here and not known to be reaped. A timed child leaves the list
// before it is reaped, so its pid, and with it its process group, stays valid while
// listed. A child of spawn_program is reaped by its owner; its entry goes when found
// reaped.
struct process_registry {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<child_entry> children;
    bool stopping = false;
    std::thread::id stopping_thread;
} registry;

// True when PID is no child of ours any more: its owner has reaped it.
bool reaped(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

// True once the child PID has ended (it stays unreaped).
bool ended(pid_t pid)
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno != EINTR;
    return info.si_pid == pid;
}

// Starts a child and lists it. LIMIT is shortened for a run of the stop sequence itself.
started_child start_listed(const child_setup &setup, bool timed, std::chrono::milliseconds &limit)
{
    // Held across the start, so process_stop_all cannot miss a child started meanwhile.
    std::lock_guard guard(registry.lock);
    if (registry.stopping) {
        if (!timed || std::this_thread::get_id() != registry.stopping_thread) {
            errno = ECANCELED;
            return {};
        }
        limit = std::min(limit, stop_phase_limit);
    }
    started_child child = start_child(setup);
    if (child.pid < 0)
        return child;
    const pid_t pid = child.pid;
    // An entry with the same pid is a long-running child its owner has reaped.
    std::erase_if(registry.children, [pid](const child_entry &entry) { return entry.pid == pid; });
    registry.children.push_back({pid, timed, false});
    return child;
}

// Unlists a timed child before it is reaped; true when the stop ended it.
bool unlist(pid_t pid)
{
    bool by_stop = false;
    {
        std::lock_guard guard(registry.lock);
        std::erase_if(registry.children, [&](const child_entry &entry) {
            if (entry.pid != pid)
                return false;
            by_stop = entry.ended_by_stop;
            return true;
        });
    }
    registry.changed.notify_all();
    return by_stop;
}

// One of a child's output streams: collected (read_command's standard output) or passed
// to the log a whole line at a time, so it never lands inside a line of the daemon's.
class child_stream {
public:
    child_stream(unique_fd fd, bool is_stderr, std::string *capture, std::size_t max_bytes)
        : fd_(std::move(fd)), is_stderr_(is_stderr), capture_(capture), max_bytes_(max_bytes)
    {
    }

    int fd() const { return fd_.get(); }

    // Reads what is there; closes the stream at its end.
    void read_some()
    {
        char chunk[4096];
        ssize_t n = read(fd_.get(), chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            fd_.reset();
            return;
        }
        take(chunk, static_cast<std::size_t>(n));
    }

    // Once the child has ended: what it left in the pipe, without waiting for the end of
    // the stream, which a server the child left running may hold open.
    void drain()
    {
        if (fd_) {
            fcntl(fd_.get(), F_SETFL, O_NONBLOCK);
            while (fd_) {
                ssize_t n = read(fd_.get(), chunk_, sizeof chunk_);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                take(chunk_, static_cast<std::size_t>(n));
            }
            fd_.reset();
        }
        end_line();
    }

private:
    void take(const char *data, std::size_t size)
    {
        if (capture_ != nullptr) {
            std::size_t room = max_bytes_ - capture_->size();
            capture_->append(data, std::min(size, room));
            return;
        }
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] == '\n') {
                end_line();
                continue;
            }
            line_ += data[i];
            if (line_.size() >= max_line)
                end_line();
        }
    }

    void end_line()
    {
        if (line_.empty())
            return;
        if (is_stderr_)
            log_err(LOG_WARNING, "%s", line_.c_str());
        else
            log_out(LOG_INFO, "%s", line_.c_str());
        line_.clear();
    }

    unique_fd fd_;
    bool is_stderr_;
    std::string *capture_;
    std::size_t max_bytes_;
    std::string line_;
    char chunk_[4096];
};

int milliseconds_until(clock_type::time_point when)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - clock_type::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60 * 60 * 1000));
}

// Waits until the child of EXIT_FD ends or UNTIL comes; true when it has ended.
bool ended_by(const unique_fd &exit_fd, clock_type::time_point until)
{
    pollfd end{exit_fd.get(), POLLIN, 0};
    for (int left; (left = milliseconds_until(until)) > 0;) {
        const int ready = poll(&end, 1, left);
        if (ready > 0)
            return (end.revents & POLLIN) != 0;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

// Passes the child's output on until it ends or its limit (and grace) runs out; returns
// its wait status, or -1 with errno set when it failed by its limit or by the stop.
int wait_for(const started_child &child, std::chrono::milliseconds limit, child_stream &out, child_stream &err)
{
    const pid_t pid = child.pid;
    const unique_fd &exit_fd = child.exit_fd;
    const clock_type::time_point started = clock_type::now();
    clock_type::time_point next_signal = started + limit;
    int signals_sent = 0;  // 1: SIGTERM at the limit, 2: SIGKILL after the grace
    bool timed_out = false;
    // Most children are short checks that are gone within the first moments. Until then
    // only their end is waited for, and what they wrote is read once they have ended:
    // watching the pipes too would wake this thread once for each pipe the exiting child
    // closes and once more for its end.
    bool child_ended = exit_fd && ended_by(exit_fd, std::min(started + quiet_start, next_signal));
    while (!child_ended) {
        if (signals_sent < 2 && clock_type::now() >= next_signal) {
            kill(-pid, signals_sent == 0 ? SIGTERM : SIGKILL);
            timed_out = true;
            next_signal += kill_grace;
            ++signals_sent;
        }
        int timeout = signals_sent < 2 ? milliseconds_until(next_signal) : -1;
        if (!exit_fd && (timeout < 0 || timeout > exit_poll_ms))
            timeout = exit_poll_ms;
        pollfd fds[3];
        nfds_t count = 0;
        if (exit_fd)
            fds[count++] = {exit_fd.get(), POLLIN, 0};
        for (child_stream *stream : {&out, &err}) {
            if (stream->fd() >= 0)
                fds[count++] = {stream->fd(), POLLIN, 0};
        }
        const int ready = poll(fds, count, timeout);
        for (child_stream *stream : {&out, &err}) {
            for (nfds_t i = 0; ready > 0 && i < count; ++i) {
                if (fds[i].fd == stream->fd() && fds[i].revents != 0)
                    stream->read_some();
            }
        }
        // The exit descriptor turns readable when the child ends; without one, look.
        if (!exit_fd)
            child_ended = ended(pid);
        else if (ready > 0 && fds[0].revents != 0)
            child_ended = (fds[0].revents & POLLIN) != 0 || ended(pid);
    }
    out.drain();
    err.drain();
    const bool by_stop = unlist(pid);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (by_stop || timed_out) {
        errno = by_stop ? ECANCELED : ETIMEDOUT;
        return -1;
    }
    return status;
}

int run_shell(const std::string &command, std::chrono::milliseconds limit, std::string *capture,
              std::size_t max_bytes)
{
    int out_ends[2];
    int err_ends[2];
    if (pipe2(out_ends, O_CLOEXEC) < 0)
        return -1;
    unique_fd out_read(out_ends[0]);
    unique_fd out_write(out_ends[1]);
    if (pipe2(err_ends, O_CLOEXEC) < 0)
        return -1;
    unique_fd err_read(err_ends[0]);
    unique_fd err_write(err_ends[1]);

    char sh[] = "sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command.c_str()), nullptr};
    started_child child = start_listed({"/bin/sh", argv, out_write.get(), err_write.get()}, true, limit);
    const int start_errno = errno;
    out_write.reset();
    err_write.reset();
    if (child.pid < 0) {
        errno = start_errno;
        return -1;
    }
    child_stream out(std::move(out_read), false, capture, max_bytes);
    child_stream err(std::move(err_read), true, nullptr, 0);
    return wait_for(child, limit, out, err);
}

}  // namespace

int run_command(const std::string &command, std::chrono::milliseconds limit)
{
    return run_shell(command, limit, nullptr, 0);
}

int read_command(const std::string &command, std::string &output, std::size_t max_bytes,
                 std::chrono::milliseconds limit)
{
    output.clear();
    int status = run_shell(command, limit, &output, max_bytes);
    if (status == -1) {
        const int saved = errno;
        output.clear();
        errno = saved;
    }
    return status;
}

pid_t spawn_program(const char *path, char *const argv[], int output_fd)
{
    std::chrono::milliseconds no_limit{0};
    return start_listed({path, argv, output_fd, output_fd}, false, no_limit).pid;
}

bool process_stopping()
{
    std::lock_guard guard(registry.lock);
    return registry.stopping;
}

void process_stop_all()
{
    std::unique_lock guard(registry.lock);
    registry.stopping = true;
    registry.stopping_thread = std::this_thread::get_id();

    // The timed children, and the groups that long-running children left behind once
    // their owners reaped them (whatever a dialer started and did not end).
    std::vector<pid_t> timed;
    std::vector<pid_t> remnants;
    std::erase_if(registry.children, [&](child_entry &entry) {
        if (entry.timed) {
            entry.ended_by_stop = true;
            timed.push_back(entry.pid);
            return false;
        }
        if (!reaped(entry.pid))
            return false;  // still its owner's
        remnants.push_back(entry.pid);
        return true;
    });
    auto listed = [&](pid_t pid) {
        return std::any_of(registry.children.begin(), registry.children.end(),
                           [pid](const child_entry &entry) { return entry.pid == pid; });
    };
    // Whatever of the signalled children is still there; a remnant group is there while
    // any of its members is.
    auto still_there = [&] {
        std::vector<pid_t> left;
        for (pid_t pid : timed) {
            if (listed(pid))
                left.push_back(pid);
        }
        for (pid_t pid : remnants) {
            if (kill(-pid, 0) == 0)
                left.push_back(pid);
        }
        return left;
    };
    if (timed.empty() && remnants.empty())
        return;
    for (pid_t pid : still_there())
        kill(-pid, SIGTERM);
    const auto give_up = clock_type::now() + kill_grace;
    while (!still_there().empty() && clock_type::now() < give_up)
        registry.changed.wait_until(guard, std::min(give_up, clock_type::now() + 100ms));
    for (pid_t pid : still_there())
        kill(-pid, SIGKILL);
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
