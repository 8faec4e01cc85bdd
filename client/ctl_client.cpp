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
// The time-out as the user wrote it ("1", not "1.000"); empty: written from timeout_ms.
char timeout_text[32] = "";
bool timed_out = false;

bool is_time_out(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS; }

void report_time_out()
{
    if (timed_out)
        return;
    timed_out = true;
    if (timeout_text[0] != '\0')
        fprintf(stderr, "No answer from daemon within %s s\n", timeout_text);
    else
        fprintf(stderr, "No answer from daemon within %ld s\n", timeout_ms / 1000);
}

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

void ctl_set_timeout_ms(long milliseconds, const char *text)
{
    timeout_ms = milliseconds;
    timed_out = false;
    snprintf(timeout_text, sizeof timeout_text, "%s", text != nullptr ? text : "");
}
long ctl_timeout_ms() { return timeout_ms; }
bool ctl_timed_out() { return timed_out; }

bool parse_timeout(const char *text, long &milliseconds)
{
    constexpr long longest_s = 86400;
    long whole = 0;
    const char *at = text;
    for (; *at >= '0' && *at <= '9'; at++) {
        whole = whole * 10 + (*at - '0');
        if (whole > longest_s)
            return false;
    }
    if (at == text)
        return false;
    long fraction_ms = 0;
    bool beyond_ms = false;  // digits past the thousandths that are not all zero
    if (*at == '.') {
        const char *digits = ++at;
        for (long scale = 100; *at >= '0' && *at <= '9'; at++, scale /= 10) {
            if (scale > 0)
                fraction_ms += (*at - '0') * scale;
            else
                beyond_ms = beyond_ms || *at != '0';
        }
        if (at == digits)
            return false;
    }
    if (*at != '\0' || (whole == longest_s && (fraction_ms != 0 || beyond_ms)))
        return false;
    milliseconds = whole * 1000 + fraction_ms;
    if (milliseconds == 0 && beyond_ms)
        milliseconds = 1;
    return true;
}

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
        // A daemon whose backlog is full lets the connect wait out the time-out.
        return is_time_out(error) ? EXCHANGE_TIMED_OUT : EXCHANGE_CONNECT;
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
    ssize_t got = receive_record(fd, reply, size);
    if (got == static_cast<ssize_t>(size))
        return true;
    if (got != RECEIVE_TIMED_OUT && got != RECEIVE_ERROR_REPLY)
        fprintf(stderr, "Invalid response (got %zd, expected %zu)\n", got, size);
    return false;
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
        return is_time_out(error) ? EXCHANGE_TIMED_OUT : EXCHANGE_SEND;
    }
    return fd;
}

int ctl_report_exchange_failure(int failure)
{
    switch (failure) {
    case EXCHANGE_SOCKET:
        perror("socket");
        break;
    case EXCHANGE_CONNECT:
        // The board's own path, whatever root the socket was looked for under.
        fprintf(stderr, "Failed to connect to daemon: %s\n", CTL_SOCKET_PATH);
        break;
    case EXCHANGE_TIMED_OUT:
        report_time_out();
        break;
    default:
        perror("send");
        break;
    }
    return -1;
}

int send_request(const ControlRequest &request)
{
    int fd = connect_and_send(request);
    return fd < 0 ? ctl_report_exchange_failure(fd) : fd;
}

ssize_t receive_once(int fd, void *buffer, std::size_t size)
{
    ssize_t got = recv(fd, buffer, size, 0);
    if (got < 0 && is_time_out(errno))
        report_time_out();
    close(fd);
    return got;
}

ssize_t receive_record(int fd, void *record, std::size_t size)
{
    ssize_t got = receive_once(fd, record, size);
    if (got < 0 && timed_out)
        return RECEIVE_TIMED_OUT;
    // A record never has the generic reply's size, so such a reply is the daemon's answer
    // that it could not serve the request: an older daemon says STATUS_UNKNOWN_COMMAND.
    const auto *bytes = static_cast<const std::uint8_t *>(record);
    if (size != sizeof(ControlReply) && got == static_cast<ssize_t>(sizeof(ControlReply)) && bytes[0] != STATUS_OK) {
        printf("Error: %d\n", bytes[0]);
        return RECEIVE_ERROR_REPLY;
    }
    return got;
}

int send_command(const ControlRequest &request, ControlReply &reply)
{
    int fd = send_request(request);
    if (fd < 0)
        return -1;
    if (receive_once(fd, &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) {
        if (!timed_out)
            fputs("Invalid response\n", stderr);
        return -1;
    }
    return 0;
}

ssize_t fetch_version(char *text)
{
    int fd = send_request(make_request(CMD_VERSION));
    if (fd < 0)
        return -1;
    ssize_t got = receive_once(fd, text, VERSION_RECEIVE_SIZE);
    if (got <= 0) {
        if (!timed_out)
            fputs("No response\n", stderr);
        return -1;
    }
    text[got] = '\0';
    // The text begins "v1."; a status byte there is a generic reply refusing the request.
    if (text[0] != 'v') {
        if (got == static_cast<ssize_t>(sizeof(ControlReply)) && text[0] != STATUS_OK)
            printf("Error: %d\n", static_cast<unsigned char>(text[0]));
        else
            fprintf(stderr, "Invalid version response (got %zd, expected %zu)\n", got, sizeof(VersionText));
        return -1;
    }
    return got;
}
