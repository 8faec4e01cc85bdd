#include "ctl_client.h"

#include "board_root.h"

#include <sys/socket.h>
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

int connect_and_send(const ControlRequest &request)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return EXCHANGE_SOCKET;

    // A path too long for a Unix address is refused rather than cut to another path.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (board_path(CTL_SOCKET_PATH, address.sun_path, sizeof address.sun_path) < 0 ||
        connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return EXCHANGE_CONNECT;
    }
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
