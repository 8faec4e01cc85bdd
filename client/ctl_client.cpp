#include "ctl_client.h"

#include "board_root.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

ControlRequest make_request(std::uint8_t cmd, std::uint8_t index, std::uint16_t param)
{
    ControlRequest request{};
    request.cmd = cmd;
    request.index = index;
    request.param = param;
    return request;
}

namespace {

long timeout_ms = CTL_DEFAULT_TIMEOUT_MS;

// Bounds the connect (a full backlog), the send and every receive by the time-out.
void apply_timeout(int fd)
{
    if (timeout_ms <= 0)
        return;
    timeval limit{};
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_usec = (timeout_ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

void ctl_set_timeout_ms(long milliseconds) { timeout_ms = milliseconds; }
long ctl_timeout_ms() { return timeout_ms; }

int ctl_connect()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return EXCHANGE_SOCKET;
    apply_timeout(fd);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (board_path(CTL_SOCKET_PATH, address.sun_path, sizeof address.sun_path) < 0 ||
        connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return EXCHANGE_CONNECT;
    }
    return fd;
}

bool ctl_exchange(int fd, const ControlRequest &request, void *reply, std::size_t size)
{
    if (send(fd, &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
        return false;
    auto *at = static_cast<unsigned char *>(reply);
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, at + got, size - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool ctl_fetch(std::uint8_t cmd, void *reply, std::size_t size)
{
    int fd = send_request(make_request(cmd));
    if (fd < 0)
        return false;
    ssize_t got = receive_once(fd, reply, size);
    if (got != static_cast<ssize_t>(size)) {
        fprintf(stderr, "Invalid response (got %zd, expected %zu)\n", got, size);
        return false;
    }
    return true;
}

int connect_and_send(const ControlRequest &request)
{
    // A path too long for a Unix address is refused rather than cut to another path.
    int fd = ctl_connect();
    if (fd < 0)
        return fd;
    // A daemon that closes before the request goes out must give the "send" message and
    // status 255, not end this program with SIGPIPE.
    if (send(fd, &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
        int error = errno;
        close(fd);
        errno = error;
        return EXCHANGE_SEND;
    }
    return fd;
}

int send_request(const ControlRequest &request)
{
    int fd = connect_and_send(request);
    switch (fd) {
    case EXCHANGE_SOCKET:
        perror("socket");
        return -1;
    case EXCHANGE_CONNECT:
        // The board's own path, whatever root the socket was looked for under.
        fprintf(stderr, "Failed to connect to daemon: %s\n", CTL_SOCKET_PATH);
        return -1;
    case EXCHANGE_SEND:
        perror("send");
        return -1;
    default:
        return fd;
    }
}

ssize_t receive_once(int fd, void *buffer, std::size_t size)
{
    ssize_t got = recv(fd, buffer, size, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        fprintf(stderr, "No answer from daemon within %ld.%03ld s\n", timeout_ms / 1000, timeout_ms % 1000);
    close(fd);
    return got;
}

int send_command(const ControlRequest &request, ControlReply &reply)
{
    int fd = send_request(request);
    if (fd < 0)
        return -1;
    if (receive_once(fd, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) {
        fputs("Invalid response\n", stderr);
        return -1;
    }
    return 0;
}
