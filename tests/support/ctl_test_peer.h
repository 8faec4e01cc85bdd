// Test-side peer of the control socket: raw bytes in, raw bytes out, every wait bounded.
#pragma once

#include "ctl_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

using bytes = std::vector<std::uint8_t>;

inline bytes request_bytes(std::uint8_t cmd, std::uint8_t index = 0, std::uint16_t param = 0)
{
    return {cmd, index, static_cast<std::uint8_t>(param & 0xff), static_cast<std::uint8_t>(param >> 8), 0, 0, 0, 0};
}

// A 16-byte generic reply: STATUS, then DATA from byte 1, zero elsewhere.
inline bytes reply_bytes(std::uint8_t status, std::initializer_list<std::uint8_t> data = {})
{
    bytes reply(sizeof(ControlReply), 0);
    reply[0] = status;
    std::copy(data.begin(), data.end(), reply.begin() + 1);
    return reply;
}

// The Unix address of PATH (tests keep their paths short enough to fit).
inline sockaddr_un unix_address(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

class ctl_peer {
public:
    explicit ctl_peer(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = unix_address(path);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            close();
    }
    // Takes over a descriptor that is already connected.
    static ctl_peer adopt(int fd)
    {
        ctl_peer peer;
        peer.fd_ = fd;
        return peer;
    }
    ~ctl_peer() { close(); }
    ctl_peer(ctl_peer &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ctl_peer(const ctl_peer &) = delete;
    ctl_peer &operator=(const ctl_peer &) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    bool send(const bytes &data) const
    {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }

    // What one receive delivers, waiting at most TIMEOUT; empty at end of stream or timeout.
    bytes receive(std::size_t max = 256, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return {};
        bytes data(max);
        ssize_t got = recv(fd_, data.data(), max, 0);
        data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return data;
    }

    // N bytes over as many receives as it takes; fewer at end of stream or timeout.
    bytes receive_exactly(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        bytes data;
        while (data.size() < n) {
            bytes more = receive(n - data.size(), timeout);
            if (more.empty())
                break;
            data.insert(data.end(), more.begin(), more.end());
        }
        return data;
    }

    // One request and its generic reply.
    bytes ask(const bytes &request) const
    {
        if (!send(request))
            return {};
        return receive_exactly(sizeof(ControlReply));
    }

private:
    ctl_peer() = default;
    int fd_ = -1;
};
