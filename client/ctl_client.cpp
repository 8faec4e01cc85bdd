#include "ctl_client.h"

#include "board_root.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void report_connect_failure()
{
    // The board's own path, whatever root the socket was looked for under.
    fprintf(stderr, "Failed to connect to daemon: %s\n", CTL_SOCKET_PATH);
}

}  // namespace

int send_request(const ControlRequest &request)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        return -1;
    }

    // A path too long for a Unix address is refused rather than truncated to another path.
    std::string path = board_path(CTL_SOCKET_PATH);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        report_connect_failure();
        close(fd);
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        report_connect_failure();
        close(fd);
        return -1;
    }
    // A daemon that closes before the request goes out must give the "send" message and
    // status 255, not end this program with SIGPIPE.
    if (send(fd, &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
        perror("send");
        close(fd);
        return -1;
    }
    return fd;
}

int send_command(const ControlRequest &request, ControlReply &reply)
{
    int fd = send_request(request);
    if (fd < 0)
        return -1;
    ssize_t got = recv(fd, &reply, sizeof reply, 0);
    close(fd);
    if (got != static_cast<ssize_t>(sizeof reply)) {
        fputs("Invalid response\n", stderr);
        return -1;
    }
    return 0;
}
