// What the daemon costs while idle with both links on (WiFi switch on and the access point
// up, 4G on with the stand-in dialer), beside a baseline measured in the same run on the
// same simulated board: bench/idle_min.c, a plain C program doing the same idle work in
// one loop (the input poll every 100 ms, the carrier, mount-table, card and 4G reads, the
// health-check commands every 5 s). Both are sampled from /proc/PID/stat (user and system
// time, minor page faults) and the scheduler's finer per-thread run time over the same
// SECONDS; the children's own costs are the same for both and left out. The daemon's run
// time and wake-ups (the voluntary context switches: each is one sleep ended) are also
// shown by thread, and the wake-ups per second of both programs in total.
//
//   idle_bench [--seconds N]     (default 30)
#include "sim_board.h"

#include <dirent.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

struct sample {
    long cpu_ticks = 0;  // user + system, in clock ticks (10 ms: coarse over an idle run)
    long long run_ns = 0;  // time on a CPU, summed over the threads, from the scheduler
    long minor_faults = 0;
    long rss_kib = 0;
    long wakeups = 0;  // voluntary context switches, summed over the threads
    std::map<std::string, long long> run_ns_by_thread;  // by thread name
    std::map<std::string, long> wakeups_by_thread;
};

long voluntary_switches(const std::string &status_text)
{
    std::istringstream status(status_text);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::atol(line.c_str() + std::strlen("voluntary_ctxt_switches:"));
    }
    return 0;
}

sample sample_of(pid_t pid)
{
    sample s;
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return s;
    std::istringstream fields(stat.substr(name_end + 2));
    std::vector<std::string> field;
    for (std::string f; fields >> f;)
        field.push_back(f);
    if (field.size() > 12) {
        s.minor_faults = std::atol(field[7].c_str());
        s.cpu_ticks = std::atol(field[11].c_str()) + std::atol(field[12].c_str());
    }
    if (DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent *task = readdir(tasks)) {
            if (task->d_name[0] == '.')
                continue;
            const std::string dir = "/proc/" + std::to_string(pid) + "/task/" + task->d_name;
            const long long run_ns = std::atoll(read_file(dir + "/schedstat").c_str());
            std::string name = read_file(dir + "/comm");
            if (!name.empty() && name.back() == '\n')
                name.pop_back();
            const long wakeups = voluntary_switches(read_file(dir + "/status"));
            s.run_ns += run_ns;
            s.run_ns_by_thread[name] += run_ns;
            s.wakeups += wakeups;
            s.wakeups_by_thread[name] += wakeups;
        }
        closedir(tasks);
    }
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            s.rss_kib = std::atol(line.c_str() + 6);
    }
    return s;
}

pid_t start_baseline(const SimBoard &board, int seconds)
{
    return spawn_with_env({MIN_IDLE_BIN, board.root(), std::to_string(seconds)}, board.env());
}

void print_row(const char *what, double daemon, double baseline)
{
    if (baseline > 0)
        std::printf("%-26s %10.1f %10.1f %8.2f\n", what, daemon, baseline, daemon / baseline);
    else
        std::printf("%-26s %10.1f %10.1f %8s\n", what, daemon, baseline, "-");
}

}  // namespace

int main(int argc, char **argv)
{
    int seconds = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 2;
        }
    }

    SimBoard board;
    write_file(board.path("/var/lib/tesmar_gpio/link_state"), "1 1\n");
    write_file(board.path("/usr/bin/quectel-CM.delay"), "0.2\n");
    DaemonProcess daemon(board);
    if (!daemon.wait_for_output("LINK: 4G connected via wwu1u2i4\n", 20s) ||
        !daemon.wait_for_output("LINK: WiFi AP started and verified\n", 20s)) {
        std::fprintf(stderr, "the links did not come up:\n%s%s", daemon.out().c_str(), daemon.err().c_str());
        return 1;
    }
    // Start-up's own work (a second start of the access point, the first checks) is done.
    std::this_thread::sleep_for(6s);

    const int warm_up = 1;
    pid_t baseline = start_baseline(board, seconds + warm_up + 1);
    if (baseline < 0) {
        std::perror("idle_min");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(warm_up));
    const sample daemon_before = sample_of(daemon.pid());
    const sample baseline_before = sample_of(baseline);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const sample daemon_after = sample_of(daemon.pid());
    const sample baseline_after = sample_of(baseline);
    waitpid(baseline, nullptr, 0);

    const double ms_per_tick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::printf("idle for %d s, links on       %10s %10s %8s\n", seconds, "daemon", "baseline", "ratio");
    print_row("cpu time (ms)", (daemon_after.cpu_ticks - daemon_before.cpu_ticks) * ms_per_tick,
              (baseline_after.cpu_ticks - baseline_before.cpu_ticks) * ms_per_tick);
    print_row("cpu time, scheduler (ms)", static_cast<double>(daemon_after.run_ns - daemon_before.run_ns) / 1e6,
              static_cast<double>(baseline_after.run_ns - baseline_before.run_ns) / 1e6);
    print_row("wake-ups per second", static_cast<double>(daemon_after.wakeups - daemon_before.wakeups) / seconds,
              static_cast<double>(baseline_after.wakeups - baseline_before.wakeups) / seconds);
    print_row("minor page faults", static_cast<double>(daemon_after.minor_faults - daemon_before.minor_faults),
              static_cast<double>(baseline_after.minor_faults - baseline_before.minor_faults));
    print_row("resident memory (KiB)", static_cast<double>(daemon_after.rss_kib),
              static_cast<double>(baseline_after.rss_kib));
    // Where the daemon's time went, by thread (a thread that ended in between is left out).
    std::printf("  %-25s %10s %10s\n", "thread", "run (ms)", "wake-ups/s");
    for (const auto &[name, run_ns] : daemon_after.run_ns_by_thread) {
        const auto before = daemon_before.run_ns_by_thread.find(name);
        const long long spent = run_ns - (before == daemon_before.run_ns_by_thread.end() ? 0 : before->second);
        const auto woken_before = daemon_before.wakeups_by_thread.find(name);
        const long woken = daemon_after.wakeups_by_thread.at(name) -
                           (woken_before == daemon_before.wakeups_by_thread.end() ? 0 : woken_before->second);
        std::printf("  %-25s %10.1f %10.2f\n", name.c_str(), static_cast<double>(spent) / 1e6,
                    static_cast<double>(woken) / seconds);
    }

    daemon.signal(SIGTERM);
    return daemon.wait_exit(15s) == 0 ? 0 : 1;
}
