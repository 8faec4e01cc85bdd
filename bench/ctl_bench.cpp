// Round trips of a simple control command (CMD_LED_GET) through the control server, on
// one connection and on 32 at once, beside a bare Unix-socket server that answers every
// 8-byte message with 16 bytes from a thread per connection. Both are measured in the same
// run by the same client code, so the ratio shows what the server adds to the socket.
//
//   ctl_bench [--requests N] [--rounds R]
//
// N round trips per scenario (split over its connections), best of R rounds.
#include "ctl_protocol.h"
#include "ctl_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

sockaddr_un address_of(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// The baseline: accept, then receive 8 and send 16 until the peer closes.
class echo_server {
public:
    explicit echo_server(const std::string &path) : path_(path)
    {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = address_of(path);
        unlink(path.c_str());
        if (bind(listen_fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_fd_, 64) != 0) {
            perror("echo server");
            std::exit(1);
        }
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~echo_server()
    {
        stopping_ = true;
        shutdown(listen_fd_, SHUT_RDWR);
        accept_thread_.join();
        for (auto &t : connections_)
            t.join();
        close(listen_fd_);
        unlink(path_.c_str());
    }

private:
    void accept_loop()
    {
        while (!stopping_) {
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                connections_.emplace_back([fd] { serve(fd); });
        }
    }

    static void serve(int fd)
    {
        std::uint8_t request[8];
        std::uint8_t reply[16] = {};
        while (recv(fd, request, sizeof request, 0) > 0)
            send(fd, reply, sizeof reply, MSG_NOSIGNAL);
        close(fd);
    }

    std::string path_;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;
    std::vector<std::thread> connections_;
};

struct result {
    double round_trips_per_s = 0;
    std::vector<double> latency_us;  // sorted

    double percentile(double p) const
    {
        if (latency_us.empty())
            return 0;
        auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(latency_us.size() - 1));
        return latency_us[at];
    }
};

// CONNECTIONS clients, each on its own thread and connection, TOTAL round trips in all.
result measure(const std::string &path, int connections, int total)
{
    const int each = std::max(1, total / connections);
    std::vector<std::vector<double>> latencies(connections);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    std::vector<std::thread> clients;

    for (int c = 0; c < connections; c++) {
        clients.emplace_back([&, c] {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address = address_of(path);
            if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
                failed = true;
            ControlRequest request{};
            request.cmd = CMD_LED_GET;
            ControlReply reply;
            auto round_trip = [&] {
                return send(fd, &request, sizeof request, MSG_NOSIGNAL) == sizeof request &&
                       recv(fd, &reply, sizeof reply, MSG_WAITALL) == sizeof reply;
            };
            for (int i = 0; i < 100; i++)  // warm up: thread started, caches filled
                round_trip();
            latencies[c].reserve(each);
            ready++;
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < each && !failed; i++) {
                auto start = clock_type::now();
                if (!round_trip())
                    failed = true;
                latencies[c].push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
            }
            close(fd);
        });
    }
    while (ready < connections && !failed)
        std::this_thread::yield();
    auto start = clock_type::now();
    go = true;
    for (auto &t : clients)
        t.join();
    double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (failed) {
        fprintf(stderr, "ctl_bench: a round trip failed on %s\n", path.c_str());
        std::exit(1);
    }

    result r;
    for (auto &l : latencies)
        r.latency_us.insert(r.latency_us.end(), l.begin(), l.end());
    std::sort(r.latency_us.begin(), r.latency_us.end());
    r.round_trips_per_s = static_cast<double>(r.latency_us.size()) / seconds;
    return r;
}

void keep_best(result &best, result candidate)
{
    if (candidate.round_trips_per_s > best.round_trips_per_s)
        best = std::move(candidate);
}

void print_row(const char *name, const result &r)
{
    printf("  %-20s %12.0f %9.1f %9.1f %9.1f %9.1f\n", name, r.round_trips_per_s, r.percentile(50),
           r.percentile(90), r.percentile(99), r.percentile(99.9));
}

}  // namespace

int main(int argc, char **argv)
{
    int total = 200000;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--requests") == 0)
            total = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }

    // A board root of its own: only the socket lives there, no hardware is touched.
    char root[] = "/tmp/ctl-bench-XXXXXX";
    if (mkdtemp(root) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string run_dir = std::string(root) + "/var/run";
    mkdir((std::string(root) + "/var").c_str(), 0755);
    mkdir(run_dir.c_str(), 0755);
    setenv("TESMAR_GPIO_ROOT", root, 1);

    if (ctl_server_init() != 0 || ctl_server_start() != 0)
        return 1;
    {
        echo_server echo(run_dir + "/echo.sock");
        const std::string server_path = run_dir + "/tesmar_gpio.sock";

        printf("\nCMD_LED_GET round trips: %d per scenario, best of %d rounds\n", total, rounds);
        printf("  %-20s %12s %9s %9s %9s %9s\n", "", "round trips/s", "p50 us", "p90 us", "p99 us", "p99.9 us");
        for (int connections : {1, 32}) {
            // Rounds alternate between the two, so a change in the machine's load
            // during the run weighs on both alike; each keeps its best round.
            result baseline, server;
            for (int round = 0; round < rounds; round++) {
                keep_best(baseline, measure(run_dir + "/echo.sock", connections, total));
                keep_best(server, measure(server_path, connections, total));
            }
            printf("%d connection%s\n", connections, connections == 1 ? "" : "s");
            print_row("bare socket server", baseline);
            print_row("control server", server);
            printf("  ratio control/bare: %.2f\n", server.round_trips_per_s / baseline.round_trips_per_s);
        }
    }
    ctl_server_stop();
    rmdir(run_dir.c_str());
    rmdir((std::string(root) + "/var").c_str());
    rmdir(root);
    return 0;
}
