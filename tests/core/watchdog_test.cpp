#include "watchdog.h"

#include "sd_notify.h"

#include "notify_listener.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

using namespace std::chrono_literals;

namespace {

using clock = std::chrono::steady_clock;

// Only ever moves forward, also from one test to the next in the same process.
clock::time_point fake_now = clock::time_point{} + 1000h;
clock::time_point read_fake_now() { return fake_now; }

// The manager pings every 2 s at the latest, so the daemon pings every second.
class WatchdogTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
        setenv("WATCHDOG_USEC", "2000000", 1);
        sd_notify_init();
        watchdog_set_clock(read_fake_now);
        for (int thread = 0; thread < WATCHDOG_THREAD_COUNT; thread++)
            watchdog_idle(thread);
        // Starts every test just after a ping.
        fake_now += 1h;
        watchdog_tick();
        while (manager.next(0ms))
            ;
    }
    void TearDown() override { watchdog_set_clock(&clock::now); }

    struct tick_result {
        bool pinged;
        std::string log;  // both streams
        std::optional<std::chrono::milliseconds> pause;
    };
    tick_result tick_after(clock::duration elapsed)
    {
        fake_now += elapsed;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const auto pause = watchdog_tick();
        std::string log = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        const auto message = manager.next(0ms);
        if (message) {
            EXPECT_EQ(*message, "WATCHDOG=1");
        }
        return {message.has_value(), log, pause};
    }

    NotifyListener manager{"@tesmar-watchdog-test-" + std::to_string(getpid())};
};

TEST_F(WatchdogTest, PingsEveryHalfIntervalWhileNoThreadIsLate)
{
    const auto allowance = watchdog_allowance(WATCHDOG_LINK_4G);
    struct step {
        const char *what;
        void (*before)();
        clock::duration elapsed;
        bool pinged;
        std::chrono::milliseconds pause;
    };
    const step steps[] = {
        {"not due yet", nullptr, 400ms, false, 600ms},
        {"due at half the interval", [] { watchdog_beat(WATCHDOG_LINK_4G); }, 600ms, true, 1s},
        // The next turn comes when the busy thread is over its allowance, not a ping later.
        {"busy just within the allowance", nullptr, allowance - 600ms, true, 1ms},
        {"an idle thread waits as long as it likes", [] { watchdog_idle(WATCHDOG_LINK_4G); }, 100 * allowance, true, 1s},
        {"a thread never beaten is not watched", nullptr, 1s, true, 1s},
    };
    for (const step &s : steps) {
        if (s.before != nullptr)
            s.before();
        tick_result result = tick_after(s.elapsed);
        EXPECT_EQ(result.pinged, s.pinged) << s.what;
        EXPECT_EQ(result.pause, s.pause) << s.what;
        EXPECT_EQ(result.log, "") << s.what;
    }
}

TEST_F(WatchdogTest, ALateThreadStopsThePingsAndIsNamedOnce)
{
    for (int thread = 0; thread < WATCHDOG_THREAD_COUNT; thread++) {
        const std::string name = watchdog_thread_name(thread);
        watchdog_beat(thread);
        tick_result late = tick_after(watchdog_allowance(thread) + 2s);
        EXPECT_FALSE(late.pinged) << name;
        EXPECT_EQ(late.pause, 1s) << name;  // a turn a second sees it move again
        EXPECT_EQ(late.log, "WATCHDOG: " + name + " stuck for " +
                                std::to_string((watchdog_allowance(thread) + 2s).count()) + " s\n");
        tick_result still = tick_after(1s);
        EXPECT_FALSE(still.pinged) << name;
        EXPECT_EQ(still.log, "") << name;

        watchdog_beat(thread);
        tick_result again = tick_after(1ms);
        EXPECT_TRUE(again.pinged) << name;
        EXPECT_EQ(again.log, "WATCHDOG: " + name + " moves again\n");
        watchdog_idle(thread);
    }
}

TEST_F(WatchdogTest, WithoutAnIntervalNothingIsSentOrLogged)
{
    unsetenv("WATCHDOG_USEC");
    setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
    sd_notify_init();
    watchdog_beat(WATCHDOG_INPUT);
    for (std::chrono::seconds elapsed : {0s, 3600s}) {
        tick_result result = tick_after(elapsed);
        EXPECT_FALSE(result.pinged);
        EXPECT_EQ(result.log, "");
        EXPECT_EQ(result.pause, std::nullopt);
    }
}

}  // namespace
