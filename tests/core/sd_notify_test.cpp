#include "sd_notify.h"

#include "notify_listener.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

using namespace std::chrono_literals;

namespace {

void set_or_unset(const char *variable, const char *value)
{
    if (value != nullptr)
        setenv(variable, value, 1);
    else
        unsetenv(variable);
}

bool manager_variables_gone()
{
    return std::getenv("NOTIFY_SOCKET") == nullptr && std::getenv("WATCHDOG_USEC") == nullptr &&
           std::getenv("WATCHDOG_PID") == nullptr;
}

TEST(SdNotify, SendsEachMessageAsOneDatagramToAPathOrAnAbstractName)
{
    const std::string unique = std::to_string(getpid());
    for (const std::string &name : {"/tmp/tesmar-notify-" + unique + ".sock", "@tesmar-notify-" + unique}) {
        NotifyListener manager(name);
        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        sd_notify_init();
        EXPECT_TRUE(manager_variables_gone()) << "children must not inherit them";
        ASSERT_TRUE(sd_notify_enabled()) << name;
        for (const char *message : {"READY=1", "WATCHDOG=1", "STOPPING=1"}) {
            EXPECT_EQ(sd_notify_send(message), 0) << name;
            EXPECT_EQ(manager.next(1s), message) << name;
        }
        EXPECT_EQ(manager.next(0ms), std::nullopt) << name;
    }
}

struct environment_case {
    const char *name;
    const char *notify_socket;
    const char *watchdog_usec;
    const char *watchdog_pid;  // "self" for this process
    bool enabled;
    std::chrono::microseconds interval;
};

TEST(SdNotify, ReadsTheWatchdogIntervalOnlyWhenItIsMeantForThisProcess)
{
    const std::string self = std::to_string(getpid());
    const environment_case cases[] = {
        {"interval", "@tesmar-any", "2000000", nullptr, true, 2s},
        {"interval for this process", "@tesmar-any", "2000000", "self", true, 2s},
        {"interval for another process", "@tesmar-any", "2000000", "1", true, 0us},
        {"unreadable process", "@tesmar-any", "2000000", "x", true, 0us},
        {"zero interval", "@tesmar-any", "0", nullptr, true, 0us},
        {"unreadable interval", "@tesmar-any", "30s", nullptr, true, 0us},
        {"no interval", "/run/systemd/notify", nullptr, nullptr, true, 0us},
        {"no manager", nullptr, "2000000", nullptr, false, 0us},
        {"relative socket name", "notify", "2000000", nullptr, false, 0us},
        {"empty socket name", "", "2000000", nullptr, false, 0us},
    };
    for (const environment_case &c : cases) {
        set_or_unset("NOTIFY_SOCKET", c.notify_socket);
        set_or_unset("WATCHDOG_USEC", c.watchdog_usec);
        set_or_unset("WATCHDOG_PID", c.watchdog_pid != nullptr && std::string(c.watchdog_pid) == "self"
                                         ? self.c_str()
                                         : c.watchdog_pid);
        sd_notify_init();
        EXPECT_EQ(sd_notify_enabled(), c.enabled) << c.name;
        EXPECT_EQ(sd_notify_watchdog_interval(), c.interval) << c.name;
        EXPECT_TRUE(manager_variables_gone()) << c.name;
        if (!c.enabled) {
            EXPECT_EQ(sd_notify_send("READY=1"), -1) << c.name;
        }
    }
}

}  // namespace
