// Test support for the SD card: the simulated card of a board (driven through the board's
// own sim/sdcard), the simulated kernel side of the MMC driver, a listener for platform
// notifications, and the capture of a standard stream while threads write to it.
#pragma once

#include "private_net.h"
#include "sim_board.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

// Runs the board's sim/sdcard with ARGS; its exit status.
inline int sdcard(const SimBoard &board, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {board.path("/sim/sdcard"), board.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {}).status;
}

// The kernel's side of the driver's bind and unbind files, running beside a test.
class MmcDriver {
public:
    explicit MmcDriver(const SimBoard &board)
    {
        std::string program = board.path("/sim/mmc-driver");
        std::string root = board.root();
        std::string watch = std::to_string(getpid());
        char *argv[] = {program.data(), root.data(), watch.data(), nullptr};
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0)
            pid_ = -1;
    }
    ~MmcDriver()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    MmcDriver(const MmcDriver &) = delete;
    MmcDriver &operator=(const MmcDriver &) = delete;
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

// The board's web service on 127.0.0.1:80 (inside a private network): records the query
// of every notification, e.g. "event=sdcard_plugin&space=1024".
class NotifyListener {
public:
    NotifyListener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(80);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd_, 16) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~NotifyListener()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    NotifyListener(const NotifyListener &) = delete;
    NotifyListener &operator=(const NotifyListener &) = delete;

    bool listening() const { return fd_ >= 0; }
    std::vector<std::string> events() const
    {
        std::lock_guard guard(lock_);
        return events_;
    }
    int count(const std::string &query) const
    {
        int n = 0;
        for (const std::string &event : events())
            n += event == query;
        return n;
    }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0)
                continue;
            std::string request;
            char chunk[512];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd q{peer, POLLIN, 0};
                if (poll(&q, 1, 2000) != 1)
                    break;
                ssize_t n = recv(peer, chunk, sizeof chunk, 0);
                if (n <= 0)
                    break;
                request.append(chunk, static_cast<std::size_t>(n));
            }
            close(peer);
            std::size_t query = request.find('?');
            std::size_t end = request.find(" HTTP/1.0");
            if (query != std::string::npos && end != std::string::npos && query < end) {
                std::lock_guard guard(lock_);
                events_.push_back(request.substr(query + 1, end - query - 1));
            }
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex lock_;
    std::vector<std::string> events_;
};

// A listener for the daemon's notifications inside a private network; none where the
// machine has no such network (a line says why), and the rest of a test runs anyway.
inline std::unique_ptr<NotifyListener> listen_for_notifications_if_possible()
{
    std::string why;
    if (!enter_private_network(why)) {
        std::printf("notifications not checked: %s\n", why.c_str());
        return nullptr;
    }
    return std::make_unique<NotifyListener>();
}

// Sends what this process writes to descriptor FD (1 or 2) into a file that the test can
// read at any time, and restores the descriptor afterwards.
class StreamCapture {
public:
    explicit StreamCapture(int fd) : fd_(fd)
    {
        char templ[] = "/tmp/tsb-capture-XXXXXX";
        int file = mkstemp(templ);
        path_ = templ;
        std::fflush(nullptr);
        saved_ = dup(fd_);
        dup2(file, fd_);
        close(file);
        if (fd_ == STDOUT_FILENO)
            std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
    // Hands what was captured on to the real stream, so a failing test still shows it.
    ~StreamCapture()
    {
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        std::string captured = read_file(path_);
        if (::write(fd_, captured.data(), captured.size()) < 0) {
        }
        unlink(path_.c_str());
    }
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;

    std::string text() const
    {
        std::fflush(nullptr);
        return read_file(path_);
    }
    bool wait_for(const std::string &wanted, std::chrono::milliseconds timeout = 5s) const
    {
        return wait_until([&] { return text().find(wanted) != std::string::npos; }, timeout);
    }

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
};

// Lines of TEXT that contain WANTED, in order.
inline std::vector<std::string> lines_with(const std::string &text, const std::string &wanted)
{
    std::vector<std::string> found;
    for (const std::string &line : lines_of(text)) {
        if (line.find(wanted) != std::string::npos)
            found.push_back(line);
    }
    return found;
}
