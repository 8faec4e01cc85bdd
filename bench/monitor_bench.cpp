// What the watch stream gives and costs, on a simulated board running the shipped daemon:
//
// 1. latency: `tesmar_gpioctl monitor` runs beside the daemon, and the VALID2 line is
//    flipped CHANGES times (a write of its file, as a key or a supply would move it); each
//    time, from the write to the client's line for it, median and 95th percentile;
// 2. idle cost: the daemon's CPU time (the scheduler's run time over its threads) over
//    SECONDS with 0, 1, 10 and 100 watchers connected and idle, the 0 case the baseline
//    measured in the same run.
//
//   monitor_bench [--changes N] [--seconds S]     (defaults 50 and 10)
#include "ctl_protocol.h"
#include "sim_board.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

long long daemon_run_ns(pid_t pid)
{
    long long total = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR *tasks = opendir(dir.c_str())) {
        while (dirent *task = readdir(tasks)) {
            if (task->d_name[0] != '.')
                total += std::atoll(read_file(dir + "/" + task->d_name + "/schedstat").c_str());
        }
        closedir(tasks);
    }
    return total;
}

// Lines from a pipe, each waited for with a deadline.
class line_reader {
public:
    explicit line_reader(int fd) : fd_(fd) {}
    bool next(std::string &line, std::chrono::milliseconds timeout)
    {
        const auto deadline = steady::now() + timeout;
        while (true) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
                return false;
            char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
};

// A watcher that reads nothing after the daemon's answer; -1 when refused.
int open_watcher(const std::string &socket_path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    ControlRequest request{};
    request.cmd = CMD_WATCH;
    ControlReply reply{};
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        send(fd, &request, sizeof request, MSG_NOSIGNAL) != sizeof request ||
        recv(fd, &reply, sizeof reply, MSG_WAITALL) != sizeof reply || reply.status != STATUS_OK) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char **argv)
{
    int changes = 50;
    int seconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--changes") == 0 && i + 1 < argc) {
            changes = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--changes N] [--seconds S]\n", argv[0]);
            return 2;
        }
    }

    SimBoard board;
    DaemonProcess daemon(board);
    if (!daemon.wait_for_output("All services started\n", 20s)) {
        std::fprintf(stderr, "the daemon did not start:\n%s", daemon.err().c_str());
        return 1;
    }

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const pid_t client = spawn_with_env({client_binary(), "monitor"}, board.env(), &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    line_reader lines(out[0]);
    std::string line;
    for (int i = 0; i < 10; i++) {
        if (!lines.next(line, 10s)) {
            std::fprintf(stderr, "the monitor printed no first values\n");
            return 1;
        }
    }

    const int chip = 6;
    const unsigned offset = 12;  // VALID2: no callback of its own, so nothing else moves
    std::vector<double> latency_ms;
    for (int i = 0; i < changes; i++) {
        const int level = 1 - board.level(chip, offset);
        const auto written = steady::now();
        board.set_level(chip, offset, level);
        bool seen = false;
        while (!seen && lines.next(line, 5s))
            seen = line.find(" input valid2 ") != std::string::npos;
        if (!seen) {
            std::fprintf(stderr, "change %d never showed\n", i);
            return 1;
        }
        latency_ms.push_back(std::chrono::duration<double, std::milli>(steady::now() - written).count());
        std::this_thread::sleep_for(30ms);
    }
    kill(client, SIGTERM);
    waitpid(client, nullptr, 0);
    close(out[0]);
    std::printf("change to monitor line, %d changes: median %.2f ms, p95 %.2f ms, max %.2f ms\n", changes,
                percentile(latency_ms, 0.5), percentile(latency_ms, 0.95), percentile(latency_ms, 1.0));

    const std::string socket_path = board.path(CTL_SOCKET_PATH);
    double baseline_ms = 0;
    std::printf("%-22s %12s %12s %14s\n", "idle watchers", "daemon ms", "added ms", "added % core");
    for (int count : {0, 1, 10, 100}) {
        std::vector<int> watchers;
        for (int i = 0; i < count; i++) {
            const int fd = open_watcher(socket_path);
            if (fd < 0) {
                std::fprintf(stderr, "watcher %d refused\n", i);
                return 1;
            }
            watchers.push_back(fd);
        }
        std::this_thread::sleep_for(1s);  // their first records are sent
        const long long before = daemon_run_ns(daemon.pid());
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double spent_ms = static_cast<double>(daemon_run_ns(daemon.pid()) - before) / 1e6;
        if (count == 0)
            baseline_ms = spent_ms;
        const double added = spent_ms - baseline_ms;
        std::printf("%-22d %12.1f %12.1f %13.3f%%\n", count, spent_ms, added, added / (seconds * 1000.0) * 100);
        for (int fd : watchers)
            close(fd);
    }

    daemon.signal(SIGTERM);
    return daemon.wait_exit(15s) == 0 ? 0 : 1;
}
