#include "notify.h"
#include "thread_name.h"
#include "log.h"
#include "config.h"

#include "unique_fd.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
using url_buffer = std::unique_ptr<char, free_deleter>;

constexpr std::size_t host_size = NOTIFY_HOST_MAX + 1;
constexpr std::size_t path_size = NOTIFY_PATH_MAX + 1;
constexpr std::size_t request_size = 1024;
constexpr const char scheme[] = "http://";
// Each read and the send give up after two seconds without progress.
constexpr int step_timeout_s = 2;
// The whole exchange ends by then: a server that trickles a byte now and then would
// otherwise hold a thread and a descriptor per event for as long as it trickles.
constexpr auto request_deadline = std::chrono::seconds(5);

// Copies at most SIZE - 1 bytes of [FROM, FROM + LENGTH) into TO, which is zeroed.
void copy_bounded(char *to, std::size_t size, const char *from, std::size_t length)
{
    std::memcpy(to, from, length < size - 1 ? length : size - 1);
}

// Splits URL into host, port and path (with the query); false without "http://".
bool split_url(const char *url, char (&host)[host_size], int &port, char (&path)[path_size])
{
    if (std::strncmp(url, scheme, sizeof scheme - 1) != 0)
        return false;
    const char *rest = url + sizeof scheme - 1;
    const char *colon = std::strchr(rest, ':');
    const char *slash = std::strchr(rest, '/');
    bool host_ends_at_colon = colon != nullptr && (slash == nullptr || colon < slash);
    const char *host_end = host_ends_at_colon ? colon : slash != nullptr ? slash : rest + std::strlen(rest);
    copy_bounded(host, host_size, rest, static_cast<std::size_t>(host_end - rest));

    const char *path_start = nullptr;
    if (host_ends_at_colon) {
        port = std::atoi(colon + 1);
        path_start = std::strchr(colon, '/');
    } else {
        port = 80;
        path_start = slash;
    }
    if (path_start == nullptr)
        path_start = "/";
    copy_bounded(path, path_size, path_start, std::strlen(path_start));
    return true;
}

}  // namespace

void *notify_request_thread(void *arg)
{
    thread_name("notify");
    url_buffer url(static_cast<char *>(arg));
    auto deadline = std::chrono::steady_clock::now() + request_deadline;
    char host[host_size] = {};
    char path[path_size] = {};
    int port = 80;
    if (!split_url(url.get(), host, port, path))
        return nullptr;

    unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock)
        return nullptr;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return nullptr;
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    // Two seconds bound every step: the connect and the send (send time-out) and each read.
    timeval limit{step_timeout_s, 0};
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    if (connect(sock.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0)
        return nullptr;

    char request[request_size];
    int length = std::snprintf(request, sizeof request,
                               "GET %s HTTP/1.0\r\nHost: %s\r\nConnection: close\r\n\r\n", path, host);
    if (length < 0)
        return nullptr;
    std::size_t to_send = static_cast<std::size_t>(length) < sizeof request ? static_cast<std::size_t>(length)
                                                                             : sizeof request - 1;
    if (send(sock.get(), request, to_send, MSG_NOSIGNAL) < 0)
        return nullptr;

    char discard[256];
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd readable{sock.get(), POLLIN, 0};
        int wait_ms = static_cast<int>(std::min<long long>(left.count(), step_timeout_s * 1000LL));
        if (poll(&readable, 1, wait_ms) <= 0 || recv(sock.get(), discard, sizeof discard, 0) <= 0)
            break;
    }
    return nullptr;
}

int notify_init()
{
    log_out(LOG_INFO, "NOTIFY: Module initialized (server: %s)\n", config().notify_url.c_str());
    return 0;
}

int notify_send(const char *event, const char *params)
{
    bool with_params = params != nullptr && params[0] != '\0';
    // The URL, "?event=", "&" and the terminator.
    std::size_t size = config().notify_url.size() + 9 + std::strlen(event) + (with_params ? std::strlen(params) : 0);
    url_buffer url(static_cast<char *>(std::malloc(size)));
    if (!url)
        return -1;
    if (with_params)
        std::snprintf(url.get(), size, "%s?event=%s&%s", config().notify_url.c_str(), event, params);
    else
        std::snprintf(url.get(), size, "%s?event=%s", config().notify_url.c_str(), event);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return -1;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, notify_request_thread, url.get());
    pthread_attr_destroy(&attr);
    if (rc != 0)
        return -1;
    url.release();  // the thread owns it now
    return 0;
}
