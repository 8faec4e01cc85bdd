#include "notify.h"

#include "private_net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

namespace {

// A listener on 127.0.0.1 that takes one connection and returns what it was sent.
class Listener {
public:
    explicit Listener(int port = 0)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(fd_, 4) == 0;
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(fd_); }
    bool ok() const { return ok_; }
    int port() const { return port_; }

    // The request of the next connection, or "" when none came within TIMEOUT_MS.
    std::string take_request(int timeout_ms = 5000, bool answer = true)
    {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, timeout_ms) != 1)
            return "";
        int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string request;
        char buf[512];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = recv(conn, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, static_cast<std::size_t>(n));
        }
        if (answer)
            send(conn, "HTTP/1.0 200 OK\r\n\r\n{}", 21, MSG_NOSIGNAL);
        close(conn);
        return request;
    }

    // Takes the next connection and answers it one byte every GAP, for as long as the
    // client keeps it open (at most LIMIT bytes).
    void trickle(std::chrono::milliseconds gap, int limit = 20)
    {
        pollfd waiting{fd_, POLLIN, 0};
        if (poll(&waiting, 1, 5000) != 1)
            return;
        int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        for (int i = 0; i < limit && send(conn, "x", 1, MSG_NOSIGNAL) == 1; i++)
            std::this_thread::sleep_for(gap);
        close(conn);
    }

private:
    int fd_ = -1;
    int port_ = 0;
    bool ok_ = false;
};

char *owned(const std::string &text) { return strdup(text.c_str()); }

TEST(Notify, SendsOneGetToTheBoardsWebService)
{
    std::string why;
    if (!enter_private_network(why))
        GTEST_SKIP() << why;
    Listener web(80);
    ASSERT_TRUE(web.ok());

    ASSERT_EQ(notify_send("key_pressed", "key=4G&status=on"), 0);
    EXPECT_EQ(web.take_request(),
              "GET /api/platform_notify?event=key_pressed&key=4G&status=on HTTP/1.0\r\n"
              "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
    for (const char *none : {static_cast<const char *>(nullptr), ""}) {
        ASSERT_EQ(notify_send("sdcard_unplug", none), 0);
        EXPECT_EQ(web.take_request(),
                  "GET /api/platform_notify?event=sdcard_unplug HTTP/1.0\r\n"
                  "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }
}

struct url_case {
    std::string url_after_port;  // appended to "http://127.0.0.1:PORT"
    std::string request_line;
};

TEST(NotifyRequest, HonoursAnExplicitPortAndDefaultsThePath)
{
    const url_case cases[] = {
        {"/api/x?event=a&b=c", "GET /api/x?event=a&b=c HTTP/1.0\r\n"},
        {"", "GET / HTTP/1.0\r\n"},
    };
    for (const auto &c : cases) {
        Listener web;
        ASSERT_TRUE(web.ok());
        auto done = std::async(std::launch::async, [&] {
            notify_request_thread(owned("http://127.0.0.1:" + std::to_string(web.port()) + c.url_after_port));
        });
        std::string request = web.take_request();
        done.wait();
        EXPECT_EQ(request, c.request_line + "Host: 127.0.0.1\r\nConnection: close\r\n\r\n") << c.url_after_port;
    }
}

TEST(NotifyRequest, EndsQuietlyOnEveryFailure)
{
    Listener web;
    ASSERT_TRUE(web.ok());
    std::string port = std::to_string(web.port());
    for (const std::string &url : {"ftp://127.0.0.1:" + port + "/", "127.0.0.1:" + port,
                                   "http://:" + port + "/"})
        notify_request_thread(owned(url));
    EXPECT_EQ(web.take_request(0), "");  // nothing reached the server

    int refusing_port = 0;
    {
        Listener gone;
        refusing_port = gone.port();
    }
    auto done = std::async(std::launch::async, [&] {
        notify_request_thread(owned("http://127.0.0.1:" + std::to_string(refusing_port) + "/"));
    });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

// A server that accepts and never answers holds the request for the receive time-out,
// not for ever.
TEST(NotifyRequest, ASilentServerIsGivenUpAfterTheTimeOut)
{
    Listener web;
    ASSERT_TRUE(web.ok());
    auto done = std::async(std::launch::async, [&] {
        notify_request_thread(owned("http://127.0.0.1:" + std::to_string(web.port()) + "/"));
    });
    // Accepted by the backlog; nobody reads or answers.
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// A server that trickles its answer, a byte every 1.5 s, holds the request for the
// whole exchange's deadline, not for as long as it trickles.
TEST(NotifyRequest, ATricklingServerIsGivenUpAtTheDeadline)
{
    using namespace std::chrono;
    Listener web;
    ASSERT_TRUE(web.ok());
    std::thread server([&] { web.trickle(1500ms); });
    auto start = steady_clock::now();
    notify_request_thread(owned("http://127.0.0.1:" + std::to_string(web.port()) + "/"));
    auto took = steady_clock::now() - start;
    server.join();
    EXPECT_GE(took, 4500ms);
    EXPECT_LT(took, 7s);  // the trickle goes on for 30 s
}

}  // namespace
