// What the control server and the client cost, each beside a baseline measured in the
// same run by the same code, so the ratios show what our code adds:
//
// 1. Round trips of CMD_LED_GET on persistent connections (1, and 32 at once), against a
//    bare thread-per-connection Unix-socket server that answers every 8 bytes with 16.
// 2. Connect, one request, close, from 32 clients at once: the product's real pattern,
//    one connection and one server thread per command. Same bare server as baseline.
// 3. The whole client process, one command per run: tesmar_gpioctl "power status" against
//    a minimal C client sending the same request (and /bin/true, the cost of any process).
//
//   ctl_bench [--requests N] [--connections C] [--processes P] [--rounds R] [--client PATH]
//
// N persistent round trips and C connections per scenario, P process runs per program,
// best of R rounds. With --churn the benchmark is a soak instead:
//
//   ctl_bench --churn SECONDS [--socket PATH]
//
// 32 clients connect, ask and close as fast as they can for SECONDS against the daemon at
// PATH (default: a server inside this process); exits 1 as soon as a connection fails.
#include "ctl_protocol.h"
#include "ctl_server.h"

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

// The concurrency of the churn cases: what the faults under churn were found with.
constexpr int CHURN_CLIENTS = 32;

sockaddr_un address_of(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

double micros_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
}

// The baseline server: the control server's pattern with nothing else. Backlog 5 and a
// detached thread per connection, created detached, that answers until the peer closes.
class bare_server {
public:
    explicit bare_server(const std::string &path) : path_(path)
    {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = address_of(path);
        unlink(path.c_str());
        if (bind(listen_fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_fd_, 5) != 0) {
            perror("bare server");
            std::exit(1);
        }
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~bare_server()
    {
        stopping_ = true;
        shutdown(listen_fd_, SHUT_RDWR);
        accept_thread_.join();
        // Every client has closed by now, so the connection threads are on their way out.
        while (live_ > 0)
            std::this_thread::yield();
        close(listen_fd_);
        unlink(path_.c_str());
    }

private:
    void accept_loop()
    {
        pthread_attr_t detached;
        pthread_attr_init(&detached);
        pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
        while (!stopping_) {
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            live_++;
            pthread_t thread;
            auto *cell = new connection{fd, &live_};
            if (pthread_create(&thread, &detached, serve, cell) != 0) {
                close(fd);
                live_--;
                delete cell;
            }
        }
        pthread_attr_destroy(&detached);
    }

    struct connection {
        int fd;
        std::atomic<int> *live;
    };

    static void *serve(void *arg)
    {
        auto *c = static_cast<connection *>(arg);
        std::uint8_t request[8];
        std::uint8_t reply[16] = {};
        while (recv(c->fd, request, sizeof request, 0) > 0)
            send(c->fd, reply, sizeof reply, MSG_NOSIGNAL);
        close(c->fd);
        (*c->live)--;
        delete c;
        return nullptr;
    }

    std::string path_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> live_{0};
    std::thread accept_thread_;
};

struct result {
    double per_s = 0;
    std::vector<double> latency_us;  // sorted

    double percentile(double p) const
    {
        if (latency_us.empty())
            return 0;
        auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(latency_us.size() - 1));
        return latency_us[at];
    }
    double mean() const
    {
        double sum = 0;
        for (double l : latency_us)
            sum += l;
        return latency_us.empty() ? 0 : sum / static_cast<double>(latency_us.size());
    }
};

// One connection: socket, connect; -1 when it failed.
int dial(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = address_of(path);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool round_trip(int fd)
{
    ControlRequest request{};
    request.cmd = CMD_LED_GET;
    request.index = 9;  // no LED: the answer touches no hardware
    ControlReply reply;
    return send(fd, &request, sizeof request, MSG_NOSIGNAL) == sizeof request &&
           recv(fd, &reply, sizeof reply, MSG_WAITALL) == sizeof reply;
}

// A new connection for one request, closed after its reply.
bool connect_ask_close(const std::string &path)
{
    int fd = dial(path);
    if (fd < 0)
        return false;
    bool ok = round_trip(fd);
    close(fd);
    return ok;
}

// CLIENTS threads, each doing EACH operations of OP(client), all released at once; the
// rate is operations per second of the whole run.
result measure(int clients, int each, const std::function<bool(int, int)> &op, const char *what)
{
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            latencies[c].reserve(each);
            ready++;
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < each && !failed; i++) {
                auto start = clock_type::now();
                if (!op(c, i))
                    failed = true;
                latencies[c].push_back(micros_since(start));
            }
        });
    }
    while (ready < clients)
        std::this_thread::yield();
    auto start = clock_type::now();
    go = true;
    for (auto &t : threads)
        t.join();
    double seconds = micros_since(start) / 1e6;
    if (failed) {
        fprintf(stderr, "ctl_bench: %s failed\n", what);
        std::exit(1);
    }
    result r;
    for (auto &l : latencies)
        r.latency_us.insert(r.latency_us.end(), l.begin(), l.end());
    std::sort(r.latency_us.begin(), r.latency_us.end());
    r.per_s = static_cast<double>(r.latency_us.size()) / seconds;
    return r;
}

// Round trips on CONNECTIONS persistent connections.
result measure_persistent(const std::string &path, int connections, int total)
{
    std::vector<int> fds(connections);
    for (int &fd : fds) {
        fd = dial(path);
        for (int i = 0; i < 100 && fd >= 0; i++)  // warm up: thread started, caches filled
            round_trip(fd);
    }
    result r = measure(connections, std::max(1, total / connections),
                       [&](int c, int) { return round_trip(fds[c]); }, "a round trip");
    for (int fd : fds)
        close(fd);
    return r;
}

result measure_churn(const std::string &path, int total)
{
    return measure(CHURN_CLIENTS, std::max(1, total / CHURN_CLIENTS),
                   [&](int, int) { return connect_ask_close(path); }, "a connection");
}

// Runs PROGRAM with ARGS once, output to /dev/null; false unless it exited 0.
bool run_once(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    std::vector<std::string> words = args;
    words.insert(words.begin(), program);
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

result measure_processes(const std::string &program, const std::vector<std::string> &args, int runs)
{
    return measure(1, runs, [&](int, int) { return run_once(program, args); }, program.c_str());
}

void keep_best(result &best, result candidate)
{
    if (candidate.per_s > best.per_s)
        best = std::move(candidate);
}

void print_header(const char *rate)
{
    printf("  %-24s %12s %9s %9s %9s %9s\n", "", rate, "p50 us", "p90 us", "p99 us", "p99.9 us");
}

void print_row(const char *name, const result &r)
{
    printf("  %-24s %12.0f %9.1f %9.1f %9.1f %9.1f\n", name, r.per_s, r.percentile(50), r.percentile(90),
           r.percentile(99), r.percentile(99.9));
}

// Rounds alternate between the programs or servers compared, so a change in the machine's
// load during the run weighs on all alike; each keeps its best round.
std::vector<result> best_of(int rounds, const std::vector<std::function<result()>> &cases)
{
    std::vector<result> best(cases.size());
    for (int round = 0; round < rounds; round++) {
        for (std::size_t i = 0; i < cases.size(); i++)
            keep_best(best[i], cases[i]());
    }
    return best;
}

// The soak: churn for SECONDS against PATH, a progress line every ten seconds.
int churn(const std::string &path, double seconds)
{
    std::atomic<long> done{0};
    std::atomic<bool> failed{false};
    const auto end = clock_type::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> clients;
    for (int c = 0; c < CHURN_CLIENTS; c++) {
        clients.emplace_back([&] {
            while (!failed && clock_type::now() < end) {
                if (connect_ask_close(path))
                    done++;
                else
                    failed = true;
            }
        });
    }
    auto next_report = clock_type::now() + std::chrono::seconds(10);
    while (!failed && clock_type::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (clock_type::now() >= next_report) {
            printf("  %ld connections\n", done.load());
            fflush(stdout);
            next_report += std::chrono::seconds(10);
        }
    }
    for (auto &t : clients)
        t.join();
    printf("churn of %d clients for %.1f s on %s: %ld connections, %s\n", CHURN_CLIENTS, seconds, path.c_str(),
           done.load(), failed ? "a connection FAILED" : "no failure");
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    int total = 200000;
    int connections = 50000;
    int processes = 500;
    int rounds = 3;
    double churn_seconds = -1;
    std::string socket_path;
    std::string client = TESMAR_CLIENT_BIN;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--requests")
            total = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--connections")
            connections = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--processes")
            processes = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--client")
            client = argv[i + 1];
        else if (option == "--churn")
            churn_seconds = std::atof(argv[i + 1]);
        else if (option == "--socket")
            socket_path = argv[i + 1];
    }
    if (churn_seconds >= 0 && !socket_path.empty())
        return churn(socket_path, churn_seconds);

    // A board root of its own: only the sockets live there, no hardware is touched.
    char root[] = "/tmp/ctl-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string run_dir = std::string(root) + "/var/run";
    mkdir((std::string(root) + "/var").c_str(), 0755);
    mkdir(run_dir.c_str(), 0755);
    setenv("TESMAR_GPIO_ROOT", root, 1);  // inherited by the client processes

    if (ctl_server_init() != 0 || ctl_server_start() != 0)
        return 1;
    const std::string server_path = run_dir + "/tesmar_gpio.sock";
    int status = 0;
    if (churn_seconds >= 0) {
        status = churn(server_path, churn_seconds);
    } else {
        bare_server bare(run_dir + "/bare.sock");
        const std::string bare_path = run_dir + "/bare.sock";

        printf("\nCMD_LED_GET round trips on persistent connections: %d per scenario, best of %d rounds\n", total,
               rounds);
        print_header("round trips/s");
        for (int n : {1, 32}) {
            auto best = best_of(rounds, {[&] { return measure_persistent(bare_path, n, total); },
                                         [&] { return measure_persistent(server_path, n, total); }});
            printf("%d connection%s\n", n, n == 1 ? "" : "s");
            print_row("bare socket server", best[0]);
            print_row("control server", best[1]);
            printf("  ratio control/bare (rate): %.2f\n", best[1].per_s / best[0].per_s);
        }

        printf("\nConnect, CMD_LED_GET, close from %d clients at once: %d connections, best of %d rounds\n",
               CHURN_CLIENTS, connections, rounds);
        print_header("connections/s");
        auto churned = best_of(rounds, {[&] { return measure_churn(bare_path, connections); },
                                        [&] { return measure_churn(server_path, connections); }});
        print_row("bare socket server", churned[0]);
        print_row("control server", churned[1]);
        printf("  ratio control/bare (rate): %.2f\n", churned[1].per_s / churned[0].per_s);

        printf("\nOne command per process (\"power status\"), one after another: %d runs each, best of %d rounds\n",
               processes, rounds);
        print_header("commands/s");
        auto runs = best_of(rounds, {[&] { return measure_processes("/bin/true", {}, processes); },
                                     [&] { return measure_processes(MIN_CLIENT_BIN, {}, processes); },
                                     [&] { return measure_processes(client, {"power", "status"}, processes); }});
        print_row("/bin/true", runs[0]);
        print_row("minimal C client", runs[1]);
        print_row("tesmar_gpioctl", runs[2]);
        printf("  ratio tesmar_gpioctl/minimal C client (mean time per command): %.2f\n",
               runs[2].mean() / runs[1].mean());
    }
    ctl_server_stop();
    rmdir(run_dir.c_str());
    rmdir((std::string(root) + "/var").c_str());
    rmdir(root);
    return status;
}
