// Test support: the service manager's end of the notification socket. It binds NAME (a
// path, or an abstract name written with a leading '@') and hands out the datagrams sent
// to it, one message each.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

class NotifyListener {
public:
    explicit NotifyListener(std::string name) : name_(std::move(name))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (name_.size() >= sizeof address.sun_path)
            throw std::runtime_error("notify socket name too long: " + name_);
        std::memcpy(address.sun_path, name_.data(), name_.size());
        if (name_[0] == '@')
            address.sun_path[0] = '\0';
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
        if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&address), length) != 0)
            throw std::runtime_error("cannot bind notify socket " + name_ + ": " + strerror(errno));
    }
    ~NotifyListener()
    {
        close(fd_);
        if (name_[0] == '/')
            unlink(name_.c_str());
    }
    NotifyListener(const NotifyListener &) = delete;
    NotifyListener &operator=(const NotifyListener &) = delete;

    const std::string &name() const { return name_; }

    // The next message, or nothing when none arrives within TIMEOUT.
    std::optional<std::string> next(std::chrono::milliseconds timeout)
    {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeout.count())) != 1)
            return std::nullopt;
        char message[256];
        const ssize_t got = recv(fd_, message, sizeof message, 0);
        if (got < 0)
            return std::nullopt;
        return std::string(message, static_cast<std::size_t>(got));
    }

private:
    std::string name_;
    int fd_ = -1;
};
