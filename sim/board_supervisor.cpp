// Keeps the simulated board's helpers (the MMC driver's kernel side, the fake modem)
// running exactly as long as the daemon on that board, with no time-out to guess.
//
//   board_supervisor ROOT PID DAEMON -- HELPER [ARGS...] [-- HELPER [ARGS...]]...
//
// PID is the daemon as started: sim/run-daemon starts this, waits for the line "ready" on
// its standard output, then execs the daemon in its own process. Each helper runs in a
// process group of its own, its standard input on /dev/null and its output appended to
// ROOT/sim/helpers/NAME.log, so no helper holds the caller's terminal or pipe. When PID
// ends, a daemon that detached from it (the program DAEMON, started no earlier than PID,
// with TESMAR_GPIO_ROOT=ROOT in its environment) is followed instead; once none is left,
// or on SIGTERM, SIGINT or SIGHUP, each helper's group gets SIGTERM, and SIGKILL a second
// later if its helper still runs. Every wait blocks on a pidfd or a signalfd.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string read_whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Clock ticks after boot at which process PID started; 0 when it is gone.
unsigned long long start_time(pid_t pid)
{
    std::string stat = read_whole("/proc/" + std::to_string(pid) + "/stat");
    std::size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    // Field 22 of the whole line; the fields after the name start at 3.
    for (int n = 3; n <= 22 && fields >> field; n++) {
        if (n == 22)
            return std::strtoull(field.c_str(), nullptr, 10);
    }
    return 0;
}

// A daemon of this board started no earlier than SINCE, other than PID: the detached one.
pid_t find_daemon(const std::string &program, const std::string &root, unsigned long long since)
{
    const std::string wanted = "TESMAR_GPIO_ROOT=" + root;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return -1;
    pid_t found = -1;
    while (dirent *entry = readdir(proc)) {
        char *end;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid())
            continue;
        std::string dir = std::string("/proc/") + entry->d_name;
        char exe[PATH_MAX];
        ssize_t length = readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
        if (length <= 0 || std::string(exe, static_cast<std::size_t>(length)) != program)
            continue;
        std::string environment = read_whole(dir + "/environ");
        std::size_t at = 0;
        bool ours = false;
        for (std::size_t nul; !ours && (nul = environment.find('\0', at)) != std::string::npos; at = nul + 1)
            ours = environment.compare(at, nul - at, wanted) == 0;
        if (ours && start_time(static_cast<pid_t>(pid)) >= since) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    closedir(proc);
    return found;
}

struct helper {
    std::vector<char *> argv;  // ends with nullptr
    pid_t pid = -1;
    bool running = false;
};

void start(helper &h, const std::string &log_dir)
{
    const char *name = std::strrchr(h.argv[0], '/');
    std::string log = log_dir + "/" + (name != nullptr ? name + 1 : h.argv[0]) + ".log";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // should the supervisor itself be killed
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = open("/dev/null", O_RDONLY);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0)
            _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        if (in > STDERR_FILENO)
            close(in);
        if (out > STDERR_FILENO)
            close(out);
        execv(h.argv[0], h.argv.data());
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);
        h.pid = pid;
        h.running = true;
    } else {
        fprintf(stderr, "board_supervisor: cannot start %s: %s\n", h.argv[0], strerror(errno));
    }
}

void reap(std::vector<helper> &helpers)
{
    for (helper &h : helpers) {
        if (h.running && waitpid(h.pid, nullptr, WNOHANG) == h.pid)
            h.running = false;
    }
}

bool any_running(const std::vector<helper> &helpers)
{
    for (const helper &h : helpers) {
        if (h.running)
            return true;
    }
    return false;
}

void stop(std::vector<helper> &helpers)
{
    for (helper &h : helpers) {
        if (h.running)
            kill(-h.pid, SIGTERM);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (reap(helpers); any_running(helpers) && std::chrono::steady_clock::now() < deadline; reap(helpers))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (helper &h : helpers) {
        if (h.running) {
            kill(-h.pid, SIGKILL);
            waitpid(h.pid, nullptr, 0);
            h.running = false;
        }
    }
}

// Blocks until PID ends or a signal arrives on SIGNALS; false on a signal.
bool wait_for_exit(pid_t pid, int signals)
{
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0 && errno == ESRCH)
        return true;
    for (;;) {
        pollfd fds[2] = {{signals, POLLIN, 0}, {fd, POLLIN, 0}};
        // Without pidfds (an old kernel) the process is looked at five times a second.
        int ready = poll(fds, fd >= 0 ? 2 : 1, fd >= 0 ? -1 : 200);
        if (ready < 0 && errno == EINTR)
            continue;
        if (fds[0].revents != 0) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        if (fd >= 0 ? fds[1].revents != 0 : kill(pid, 0) != 0 && errno == ESRCH)
            break;
    }
    if (fd >= 0)
        close(fd);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 6 || std::strcmp(argv[4], "--") != 0) {
        fprintf(stderr, "usage: %s ROOT PID DAEMON -- HELPER [ARGS...] [-- HELPER [ARGS...]]...\n", argv[0]);
        return 2;
    }
    std::string root = argv[1];
    pid_t pid = static_cast<pid_t>(std::atoi(argv[2]));
    char daemon_path[PATH_MAX];
    if (realpath(argv[3], daemon_path) == nullptr) {
        fprintf(stderr, "board_supervisor: %s: %s\n", argv[3], strerror(errno));
        return 1;
    }
    std::vector<helper> helpers;
    for (int i = 4; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            if (!helpers.empty())
                helpers.back().argv.push_back(nullptr);
            helpers.emplace_back();
        } else {
            helpers.back().argv.push_back(argv[i]);
        }
    }
    helpers.back().argv.push_back(nullptr);

    // The terminal's Ctrl-C goes to the daemon; the helpers end when it has ended.
    setsid();
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    int signals = signalfd(-1, &stop_signals, SFD_CLOEXEC);

    // The caller waits for this line before it starts the daemon, so PID is still there
    // to be looked at; from here on standard output is the log.
    unsigned long long since = start_time(pid);
    fputs("ready\n", stdout);
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    if (since == 0)
        return 0;  // no such process
    std::string log_dir = root + "/sim/helpers";
    mkdir(log_dir.c_str(), 0755);
    for (helper &h : helpers) {
        if (h.argv.size() > 1)
            start(h, log_dir);
    }

    bool signalled = !wait_for_exit(pid, signals);
    while (!signalled) {
        pid_t detached = find_daemon(daemon_path, root, since);
        if (detached <= 0)
            break;
        signalled = !wait_for_exit(detached, signals);
    }
    stop(helpers);
    return 0;
}
