#include "process.h"

#include "log.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Between SIGTERM and SIGKILL to a child's process group, at its limit or at stop.
constexpr std::chrono::milliseconds kill_grace = 3s;
// A run of the stop sequence itself gets its SIGTERM this long after the stop began at the
// latest, but never less than stop_run_least after its start: with the grace after it, the
// stop's own commands end within about 8 s of the stop, whatever they meet.
constexpr std::chrono::milliseconds stop_phase_window = 5s;
constexpr std::chrono::milliseconds stop_run_least = 1s;
// How often a group whose leader has ended is looked at for what is left of it.
constexpr int group_look_ms = 20;
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
    int error_fd = -1;  // where a failed exec writes its error number (-1: nowhere)
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
    // The error descriptor stays: it is close-on-exec, so an exec that works closes it.
    if (setup->error_fd >= 3) {
        if (setup->error_fd > 3)
            raw_call(SYS_close_range, 3, setup->error_fd - 1, 0);
        raw_call(SYS_close_range, setup->error_fd + 1, static_cast<long>(~0U), 0);
    } else {
        raw_call(SYS_close_range, 3, static_cast<long>(~0U), 0);
    }
    const long failed = raw_call(SYS_execve, reinterpret_cast<long>(setup->path),
                                 reinterpret_cast<long>(setup->argv), reinterpret_cast<long>(environ));
    if (setup->error_fd >= 0) {
        volatile int error_number = static_cast<int>(-failed);
        raw_call(SYS_write, setup->error_fd, reinterpret_cast<long>(&error_number), sizeof error_number);
    }
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
    pid_t pid;  // also its process group
    // Set by process_stop_all when it sent the group SIGTERM: the run fails.
    bool ended_by_stop;
    clock_type::time_point term_at;
};

// Every run_command and read_command child whose run is under way. A child leaves the
// list before it is reaped, under the lock process_stop_all signals under, so a listed
// pid, and with it its process group, is still ours. A child of spawn_program is not
// listed: its owner ends its group before reaping it.
struct process_registry {
    std::mutex lock;
    std::vector<child_entry> children;
    bool stopping = false;
    std::thread::id stopping_thread;
    clock_type::time_point stop_began;
    // Read without the lock by the waiting runs; readable once the stop has begun, so a
    // run whose child ignores SIGTERM still wakes to send its SIGKILL in time.
    std::atomic<bool> stop_begun{false};
    unique_fd stop_fd{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
} registry;

// True once the child PID has ended (it stays unreaped).
bool ended(pid_t pid)
{
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno != EINTR;
    return info.si_pid == pid;
}

// True while a process other than LEADER (which has ended) is in LEADER's process group
// and running. The kernel keeps no list of a group's members for us: /proc is looked at.
bool group_has_others(pid_t leader)
{
    std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
    if (!proc)
        return false;
    while (dirent *entry = readdir(proc.get())) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || std::atoi(entry->d_name) == leader)
            continue;
        const std::string path = std::string("/proc/") + entry->d_name + "/stat";
        unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        char stat[512];
        const ssize_t n = fd ? read(fd.get(), stat, sizeof stat - 1) : -1;
        if (n <= 0)
            continue;
        stat[n] = '\0';
        // "pid (name) state ppid pgrp ...": the name may hold anything, so from its last ')'.
        const char *after_name = std::strrchr(stat, ')');
        char state = 0;
        int parent = 0, group = 0;
        if (after_name != nullptr && std::sscanf(after_name + 1, " %c %d %d", &state, &parent, &group) == 3 &&
            group == leader && state != 'Z' && state != 'X')
            return true;
    }
    return false;
}

// Starts a child and lists it. LIMIT is shortened for a run of the stop sequence itself.
started_child start_listed(const child_setup &setup, std::chrono::milliseconds &limit)
{
    // Held across the start, so process_stop_all cannot miss a child started meanwhile.
    std::lock_guard guard(registry.lock);
    if (registry.stopping) {
        if (std::this_thread::get_id() != registry.stopping_thread) {
            errno = ECANCELED;
            return {};
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(registry.stop_began + stop_phase_window -
                                                                       clock_type::now());
        limit = std::min(limit, std::max(left, stop_run_least));
    }
    started_child child = start_child(setup);
    if (child.pid > 0)
        registry.children.push_back({child.pid, false, {}});
    return child;
}

// Unlists a run's child before it is reaped.
void unlist(pid_t pid)
{
    std::lock_guard guard(registry.lock);
    std::erase_if(registry.children, [pid](const child_entry &entry) { return entry.pid == pid; });
}

// When the stop sent PID's group SIGTERM; none while the stop has not touched it.
std::optional<clock_type::time_point> stop_term_time(pid_t pid)
{
    std::lock_guard guard(registry.lock);
    for (const child_entry &entry : registry.children) {
        if (entry.pid == pid && entry.ended_by_stop)
            return entry.term_at;
    }
    return std::nullopt;
}

// What of a run's output may still reach the log, and what did not.
struct output_budget {
    std::size_t left = child_output::log_cap;
    unsigned long long dropped = 0;
    bool unread = false;  // the drain stopped while output still came
};

// One of a child's output streams: collected (read_command's standard output) or passed
// to the log a whole line at a time, so it never lands inside a line of the daemon's.
class child_stream {
public:
    child_stream(unique_fd fd, bool is_stderr, std::string *capture, std::size_t max_bytes, output_budget &budget)
        : fd_(std::move(fd)), is_stderr_(is_stderr), capture_(capture), max_bytes_(max_bytes), budget_(budget)
    {
    }

    int fd() const { return fd_.get(); }

    // Reads what is there; closes the stream at its end.
    void read_some()
    {
        ssize_t n = read(fd_.get(), chunk_, sizeof chunk_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            fd_.reset();
            return;
        }
        take(chunk_, static_cast<std::size_t>(n));
    }

    // Once the child has ended: what it left in the pipe, without waiting for the end of
    // the stream, which a server the child left running may hold open, and until UNTIL at
    // most: a writer that never pauses would otherwise keep this going for ever.
    void drain(clock_type::time_point until)
    {
        if (fd_) {
            fcntl(fd_.get(), F_SETFL, O_NONBLOCK);
            std::size_t drained = 0;
            while (fd_) {
                if (drained >= child_output::drain_bytes || clock_type::now() >= until) {
                    budget_.unread = true;
                    break;
                }
                ssize_t n = read(fd_.get(), chunk_, sizeof chunk_);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                drained += static_cast<std::size_t>(n);
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
        const std::size_t logged = std::min(size, budget_.left);
        budget_.left -= logged;
        budget_.dropped += size - logged;
        for (std::size_t i = 0; i < logged; ++i) {
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
    output_budget &budget_;
    std::string line_;
    char chunk_[16 * 1024];
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

// Passes the child's output on until it ends or its limit (and grace) runs out, then ends
// what it left in its process group, and reaps it; returns its wait status, or -1 with
// errno set when it failed by its limit or by the stop.
int wait_for(const started_child &child, std::chrono::milliseconds limit, child_stream &out, child_stream &err)
{
    const pid_t pid = child.pid;
    const unique_fd &exit_fd = child.exit_fd;
    const clock_type::time_point started = clock_type::now();
    const clock_type::time_point limit_at = started + limit;
    std::optional<clock_type::time_point> term_at;  // when the group got SIGTERM
    bool timed_out = false;
    bool by_stop = false;
    bool stop_seen = false;
    // Most children are short checks that are gone within the first moments. Until then
    // only their end is waited for, and what they wrote is read once they have ended:
    // watching the pipes too would wake this thread once for each pipe the exiting child
    // closes and once more for its end.
    bool leader_ended = exit_fd && ended_by(exit_fd, std::min(started + quiet_start, limit_at));
    for (;;) {
        if (!stop_seen && registry.stop_begun.load()) {
            stop_seen = true;
            if (auto stopped_at = stop_term_time(pid)) {
                by_stop = true;
                if (!term_at || *stopped_at < *term_at)
                    term_at = stopped_at;
            }
        }
        const clock_type::time_point now = clock_type::now();
        if (!term_at && now >= limit_at) {
            kill(-pid, SIGTERM);
            term_at = now;
            timed_out = true;
        }
        // The grace is over: whatever is left of the group goes, its leader or not. (A
        // shell that SIGTERM ended leaves behind what ignored it.)
        if (term_at && now >= *term_at + kill_grace) {
            kill(-pid, SIGKILL);
            break;
        }
        if (leader_ended) {
            // The stop's SIGTERM can end the child before this thread sees the stop begun;
            // the registry, marked under the lock the signal went under, tells.
            if (!term_at) {
                if (auto stopped_at = stop_term_time(pid)) {
                    by_stop = stop_seen = true;
                    term_at = stopped_at;
                }
            }
            // A run that ended by itself: what its command left in the group is a stray (a
            // server meant to stay leaves the group).
            if (!term_at) {
                kill(-pid, SIGKILL);
                break;
            }
            if (!group_has_others(pid))
                break;
        }
        int timeout = milliseconds_until(term_at ? *term_at + kill_grace : limit_at);
        if (leader_ended || !exit_fd)
            timeout = std::min(timeout, leader_ended ? group_look_ms : exit_poll_ms);
        pollfd fds[4];
        nfds_t count = 0;
        const bool watch_exit = exit_fd && !leader_ended;
        if (watch_exit)
            fds[count++] = {exit_fd.get(), POLLIN, 0};
        if (!stop_seen && registry.stop_fd)
            fds[count++] = {registry.stop_fd.get(), POLLIN, 0};
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
        if (!leader_ended) {
            if (!exit_fd)
                leader_ended = ended(pid);
            else if (ready > 0 && fds[0].revents != 0)
                leader_ended = (fds[0].revents & POLLIN) != 0 || ended(pid);
        }
    }
    const clock_type::time_point drain_until = clock_type::now() + child_output::drain_time;
    out.drain(drain_until);
    err.drain(drain_until);
    unlist(pid);
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

// One line for what of a run's output did not reach the log.
void report_dropped(const output_budget &budget, pid_t pid, const std::string &command)
{
    if (budget.dropped == 0 && !budget.unread)
        return;
    // The command as far as it tells which one it was.
    constexpr int shown = 60;
    log_err(LOG_WARNING, "CHILD: output of pid %d (%.*s%s) beyond %zu bytes not logged: %llu bytes dropped%s\n",
            static_cast<int>(pid), shown, command.c_str(), command.size() > shown ? "..." : "",
            child_output::log_cap, budget.dropped, budget.unread ? ", more left unread" : "");
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
    started_child child = start_listed({"/bin/sh", argv, out_write.get(), err_write.get()}, limit);
    const int start_errno = errno;
    out_write.reset();
    err_write.reset();
    if (child.pid < 0) {
        errno = start_errno;
        return -1;
    }
    output_budget budget;
    child_stream out(std::move(out_read), false, capture, max_bytes, budget);
    child_stream err(std::move(err_read), true, nullptr, 0, budget);
    const int saved_errno = errno;
    const int status = wait_for(child, limit, out, err);
    const int wait_errno = errno;
    report_dropped(budget, child.pid, command);
    errno = status == -1 ? wait_errno : saved_errno;
    return status;
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

pid_t spawn_program(const char *path, char *const argv[], int output_fd, bool *exec_failed)
{
    if (exec_failed != nullptr)
        *exec_failed = false;
    // The child writes the exec's error here; the pipe closes with the exec.
    int error_ends[2];
    if (pipe2(error_ends, O_CLOEXEC) < 0)
        return -1;
    unique_fd error_read(error_ends[0]);
    unique_fd error_write(error_ends[1]);
    started_child child;
    {
        std::lock_guard guard(registry.lock);
        if (registry.stopping) {
            errno = ECANCELED;
            return -1;
        }
        child = start_child({path, argv, output_fd, output_fd, error_write.get()});
    }
    const int start_errno = errno;
    error_write.reset();
    if (child.pid < 0) {
        errno = start_errno;
        return -1;
    }
    int exec_errno = 0;
    ssize_t got;
    while ((got = read(error_read.get(), &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
    }
    if (got != sizeof exec_errno)
        return child.pid;
    while (waitpid(child.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (exec_failed != nullptr)
        *exec_failed = true;
    errno = exec_errno;
    return -1;
}

bool program_ended(pid_t pid) { return ended(pid); }

int end_program(pid_t pid, std::chrono::milliseconds grace, bool *killed)
{
    if (killed != nullptr)
        *killed = false;
    // Its group is ours while it stays unreaped, ended or not.
    kill(-pid, SIGTERM);
    const clock_type::time_point give_up = clock_type::now() + grace;
    for (;;) {
        const bool leader_ended = ended(pid);
        if (leader_ended && !group_has_others(pid))
            break;
        if (clock_type::now() >= give_up) {
            if (killed != nullptr)
                *killed = !leader_ended;
            kill(-pid, SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(group_look_ms));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

bool process_stopping()
{
    std::lock_guard guard(registry.lock);
    return registry.stopping;
}

void process_stop_all()
{
    std::lock_guard guard(registry.lock);
    if (!registry.stopping) {
        registry.stopping = true;
        registry.stopping_thread = std::this_thread::get_id();
        registry.stop_began = clock_type::now();
    }
    const clock_type::time_point now = clock_type::now();
    for (child_entry &entry : registry.children) {
        if (entry.ended_by_stop)
            continue;
        // Listed, so not reaped: the group is still this child's.
        kill(-entry.pid, SIGTERM);
        entry.ended_by_stop = true;
        entry.term_at = now;
    }
    registry.stop_begun.store(true);
    if (registry.stop_fd) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(registry.stop_fd.get(), &one, sizeof one);
    }
}

void process_end_all_left()
{
    // A little past the runs' own SIGKILL, so a run's thread normally does it itself.
    const clock_type::time_point kill_at = [] {
        std::lock_guard guard(registry.lock);
        return (registry.stopping ? registry.stop_began : clock_type::now()) + kill_grace + 500ms;
    }();
    const clock_type::time_point give_up = kill_at + 1s;
    bool killed = false;
    for (;;) {
        {
            std::lock_guard guard(registry.lock);
            if (registry.children.empty())
                return;
            if (!killed && clock_type::now() >= kill_at) {
                // Listed, so not reaped: each group is still its child's.
                for (const child_entry &entry : registry.children)
                    kill(-entry.pid, SIGKILL);
                killed = true;
            }
        }
        if (clock_type::now() >= give_up)
            return;
        std::this_thread::sleep_for(20ms);
    }
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
