#include "hw_board.h"
#include "input.h"

#include <climits>
#include <mutex>

namespace {

using Calls = std::vector<std::pair<unsigned, int>>;

// Callback calls as (input id, level), from the polling thread.
struct CallbackLog {
    mutable std::mutex lock;
    Calls calls;

    static void record(unsigned int id, int level, std::uintptr_t user_data)
    {
        auto *log = reinterpret_cast<CallbackLog *>(user_data);
        std::lock_guard guard(log->lock);
        log->calls.emplace_back(id, level);
    }
    Calls snapshot() const
    {
        std::lock_guard guard(lock);
        return calls;
    }
    bool wait_for(size_t count) const
    {
        return wait_until([&] { return snapshot().size() >= count; });
    }
};

class InputTest : public HwBoardTest {
protected:
    void TearDown() override
    {
        CaptureStdout();
        input_monitor_cleanup();
        GetCapturedStdout();
        HwBoardTest::TearDown();
    }

    // Faster than the daemon's 100 ms, to keep the tests short; callbacks on every input.
    void init_and_register(int interval_ms = 20)
    {
        CaptureStdout();
        input_monitor_init(interval_ms);
        GetCapturedStdout();
        for (int id = 0; id < GPIO_INPUT_COUNT; id++)
            input_set_callback(id, CallbackLog::record, reinterpret_cast<std::uintptr_t>(&log));
    }

    static void let_it_poll() { std::this_thread::sleep_for(200ms); }

    CallbackLog log;
};

TEST_F(InputTest, KeyHeldAcrossStartupFiresNothingUntilPressedAgain)
{
    set_level(input_lines[IN_4G], 1);
    init_and_register();
    ASSERT_EQ(input_monitor_start(), 0);
    let_it_poll();
    EXPECT_TRUE(log.snapshot().empty());
    EXPECT_EQ(input_get_4g(), 1);
    set_level(input_lines[IN_4G], 0);
    ASSERT_TRUE(log.wait_for(1));
    set_level(input_lines[IN_4G], 1);
    ASSERT_TRUE(log.wait_for(2));
    EXPECT_EQ(log.snapshot(), (Calls{{IN_4G, 0}, {IN_4G, 1}}));
}

TEST_F(InputTest, PulseGivesTwoCallbacksAndTwoLines)
{
    init_and_register();
    for (int bad_id : {-1, 4, INT_MIN})
        EXPECT_EQ(input_get_cached(bad_id) + input_set_callback(bad_id, CallbackLog::record, 0), -2) << bad_id;
    CaptureStdout();
    ASSERT_EQ(input_monitor_start(), 0);
    set_level(input_lines[IN_4G], 1);
    ASSERT_TRUE(log.wait_for(1));
    set_level(input_lines[IN_4G], 0);
    ASSERT_TRUE(log.wait_for(2));
    input_monitor_stop();
    EXPECT_EQ(GetCapturedStdout(), "INPUT: Monitor thread started (interval=20ms)\n"
                                   "INPUT: 4G changed to HIGH\n"
                                   "INPUT: 4G changed to LOW\n");
    EXPECT_EQ(log.snapshot(), (Calls{{IN_4G, 1}, {IN_4G, 0}}));
}

TEST_F(InputTest, ChangesSeenInOneCycleAreReportedInIdOrder)
{
    init_and_register();
    // Changed before the first cycle, so that it sees all four.
    set_level(input_lines[IN_WIFI], 1);
    set_level(input_lines[IN_VALID2], 1);
    set_level(input_lines[IN_VALID1], 0);
    set_level(input_lines[IN_4G], 1);
    ASSERT_EQ(input_monitor_start(), 0);
    ASSERT_TRUE(log.wait_for(4));
    EXPECT_EQ(log.snapshot(), (Calls{{IN_4G, 1}, {IN_VALID1, 0}, {IN_VALID2, 1}, {IN_WIFI, 1}}));
}

TEST_F(InputTest, GettersWaitForACallbackInProgress)
{
    static std::atomic<int> entered{0}, slow_callback_done{0};
    init_and_register();
    input_set_callback(IN_VALID2, [](unsigned, int, std::uintptr_t) {
        entered.store(1);
        std::this_thread::sleep_for(200ms);
        slow_callback_done.store(1);
    }, 0);
    ASSERT_EQ(input_monitor_start(), 0);
    set_level(input_lines[IN_VALID2], 1);
    ASSERT_TRUE(wait_until([] { return entered.load() == 1; }));
    EXPECT_EQ(input_get_valid2(), 1);
    EXPECT_EQ(slow_callback_done.load(), 1) << "the getter did not wait for the cycle";
}

TEST_F(InputTest, FailedReadsKeepTheLastLevelAndAFirstGoodReadCounts)
{
    write_file(line_file(input_lines[IN_VALID1], ".fail-read"), "");
    init_and_register();
    EXPECT_EQ(input_get_valid1(), -1);
    EXPECT_EQ(input_get_cached(IN_VALID1), -1);
    ASSERT_EQ(input_monitor_start(), 0);
    let_it_poll();
    EXPECT_EQ(input_get_valid1(), -1);
    EXPECT_TRUE(log.snapshot().empty());

    unlink(line_file(input_lines[IN_VALID1], ".fail-read").c_str());
    ASSERT_TRUE(log.wait_for(1));
    write_file(line_file(input_lines[IN_VALID1], ".fail-read"), "");
    set_level(input_lines[IN_VALID1], 0);
    let_it_poll();
    EXPECT_EQ(input_get_valid1(), 1);
    EXPECT_EQ(log.snapshot(), (Calls{{IN_VALID1, 1}}));
}

// The interval in effect shows in the thread's first line.
TEST_F(InputTest, IntervalIsClampedWhenSetButNotAtInit)
{
    // An init without a positive interval keeps the current one: those cases come first.
    input_set_interval(100);
    const int cases[][3] = {{0, 0, 100},   {-5, 0, 100},       {3, 0, 3},         {100, 5, 10},
                            {100, -7, 10}, {100, 10000, 10000}, {100, 10001, 10000}, {100, INT_MAX, 10000}};
    for (const auto &[init_ms, set_ms, expected_ms] : cases) {
        CaptureStdout();
        input_monitor_init(init_ms);
        if (set_ms != 0)
            input_set_interval(set_ms);
        input_monitor_start();
        input_monitor_stop();
        EXPECT_EQ(GetCapturedStdout(), "INPUT: Module initialized\nINPUT: Monitor thread started (interval=" +
                                           std::to_string(expected_ms) + "ms)\n")
            << init_ms << " " << set_ms;
    }
}

TEST_F(InputTest, StopReturnsWithinAboutOneInterval)
{
    init_and_register(1000);
    CaptureStdout();
    ASSERT_EQ(input_monitor_start(), 0);
    std::this_thread::sleep_for(50ms);
    const long long asked = monotonic_ns();
    EXPECT_EQ(input_monitor_stop() + input_monitor_stop(), 0);
    GetCapturedStdout();
    EXPECT_LT(ms_between(asked, monotonic_ns()), 1000 + 300);
}

}  // namespace
