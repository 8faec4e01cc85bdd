// A scripted stand-in for the daemon on the control socket: every connection gets one
// receive, then the reply the test chose (possibly none), then the connection is closed.
#pragma once

#include "ctl_test_peer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class fake_ctl_server {
public:
    explicit fake_ctl_server(const std::string &path)
    {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = unix_address(path);
        unlink(path.c_str());
        if (bind(listen_fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_fd_, 16) != 0) {
            ::close(listen_fd_);
            listen_fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~fake_ctl_server()
    {
        if (listen_fd_ < 0)
            return;
        stopping_ = true;
        shutdown(listen_fd_, SHUT_RDWR);
        thread_.join();
        ::close(listen_fd_);
    }

    fake_ctl_server(const fake_ctl_server &) = delete;
    fake_ctl_server &operator=(const fake_ctl_server &) = delete;

    bool listening() const { return listen_fd_ >= 0; }

    // The answer to every request from now on; empty: close without answering.
    void answer(bytes reply)
    {
        std::lock_guard lock(lock_);
        reply_ = std::move(reply);
        choose_ = nullptr;
        hang_up_ = false;
    }

    // The answer to each request chosen from the request itself (empty: close without
    // answering), for reports that ask several commands.
    void answer_with(std::function<bytes(const bytes &request)> choose)
    {
        std::lock_guard lock(lock_);
        choose_ = std::move(choose);
        hang_up_ = false;
    }

    // Close every connection at once, before reading anything.
    void hang_up()
    {
        std::lock_guard lock(lock_);
        hang_up_ = true;
    }

    // What each connection sent in its one receive, in connection order.
    std::vector<bytes> requests() const
    {
        std::lock_guard lock(lock_);
        return requests_;
    }

private:
    void serve()
    {
        while (!stopping_) {
            int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ctl_peer connection = ctl_peer::adopt(fd);
            bool hang_up;
            bytes reply;
            std::function<bytes(const bytes &)> choose;
            {
                std::lock_guard lock(lock_);
                hang_up = hang_up_;
                reply = reply_;
                choose = choose_;
            }
            if (hang_up)
                continue;
            bytes request = connection.receive(64);
            {
                std::lock_guard lock(lock_);
                requests_.push_back(request);
            }
            if (choose)
                reply = choose(request);
            if (!reply.empty())
                connection.send(reply);
        }
    }

    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    mutable std::mutex lock_;
    bytes reply_;
    std::function<bytes(const bytes &)> choose_;
    bool hang_up_ = false;
    std::vector<bytes> requests_;
};
