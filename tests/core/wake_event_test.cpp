#include "wake_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

using steady = std::chrono::steady_clock;

// Set from another thread, it ends a pause in progress, and every later one at once, until
// cleared; a pause nobody ends lasts its whole duration.
TEST(WakeEvent, EndsPausesFromTheSetUntilCleared)
{
    wake_event event;
    auto start = steady::now();
    EXPECT_TRUE(event.sleep_for(30ms));
    EXPECT_GE(steady::now() - start, 30ms);

    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        event.set();
    });
    start = steady::now();
    EXPECT_FALSE(event.sleep_for(60s));
    EXPECT_LT(steady::now() - start, 30s);  // ended by the set, not by its duration
    setter.join();

    EXPECT_TRUE(event.is_set());
    EXPECT_FALSE(event.sleep_for(60s));  // stays set
    event.set();                         // a second set changes nothing
    event.clear();
    EXPECT_FALSE(event.is_set());
    EXPECT_TRUE(event.sleep_for(1ms));
}

}  // namespace
