#include "sd_notify.h"

#include "unique_fd.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct service_manager {
    sockaddr_un address{};
    socklen_t address_length = 0;  // 0: nobody listens
    std::chrono::microseconds watchdog_interval{0};
} manager;

// A full queue at the manager must not hold up the run loop for long.
constexpr timeval send_timeout{1, 0};

// Fills the address for NAME: "/path" or "@abstract". False for anything else or a name
// too long for a Unix address.
bool set_address(std::string_view name)
{
    sockaddr_un &address = manager.address;
    address = {};
    address.sun_family = AF_UNIX;
    if (name.size() < 2 || (name[0] != '/' && name[0] != '@') || name.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // abstract: the name's bytes without a terminator
    manager.address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    return true;
}

// A positive decimal number, the whole text; 0 for anything else.
unsigned long long parse_positive(const char *text)
{
    if (text == nullptr)
        return 0;
    unsigned long long value = 0;
    const char *end = text + std::strlen(text);
    auto [rest, error] = std::from_chars(text, end, value);
    return error == std::errc{} && rest == end ? value : 0;
}

std::chrono::microseconds read_watchdog_interval()
{
    const unsigned long long usec = parse_positive(std::getenv("WATCHDOG_USEC"));
    const char *pid = std::getenv("WATCHDOG_PID");
    // The interval was meant for the process named, e.g. the parent before a fork.
    if (pid != nullptr && parse_positive(pid) != static_cast<unsigned long long>(getpid()))
        return std::chrono::microseconds{0};
    return std::chrono::microseconds{usec};
}

}  // namespace

void sd_notify_init()
{
    manager = {};
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (name != nullptr && set_address(name))
        manager.watchdog_interval = read_watchdog_interval();
    for (const char *variable : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        unsetenv(variable);
}

bool sd_notify_enabled() { return manager.address_length != 0; }

std::chrono::microseconds sd_notify_watchdog_interval() { return manager.watchdog_interval; }

int sd_notify_send(const char *state)
{
    if (!sd_notify_enabled())
        return -1;
    unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return -1;
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    const ssize_t sent = sendto(fd.get(), state, std::strlen(state), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr *>(&manager.address), manager.address_length);
    return sent >= 0 ? 0 : -1;
}
