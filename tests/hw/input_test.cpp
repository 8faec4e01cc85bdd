#include "hw_board.h"
#include "input.h"

#include <dirent.h>

#include <climits>
#include <fstream>
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
    EXPECT_TRUE(log.wait_for(1)) << "rise";
    // The first callback may come from the thread's first read, before the rise has outlasted
    // the line's debounce; a fall within that window would cancel the rise as a bounce.
    std::this_thread::sleep_for(30ms);
    set_level(input_lines[IN_4G], 0);
    EXPECT_TRUE(log.wait_for(2)) << "fall";
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

// Context switches of the daemon's thread named NAME, or -1 when there is none: each
// wake-up of a sleeping thread is one.
long thread_switches(const char *name)
{
    DIR *tasks = opendir("/proc/self/task");
    long switches = -1;
    while (dirent *task = tasks != nullptr ? readdir(tasks) : nullptr) {
        const std::string dir = std::string("/proc/self/task/") + task->d_name;
        std::string comm;
        std::getline(std::ifstream(dir + "/comm"), comm);
        if (task->d_name[0] == '.' || comm != name)
            continue;
        std::ifstream status(dir + "/status");
        switches = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos)
                switches += std::stol(line.substr(line.find(':') + 1));
        }
    }
    if (tasks != nullptr)
        closedir(tasks);
    return switches;
}

TEST_F(InputTest, ShortPressIsSeenAndABouncingTapGivesOnePress)
{
    auto hold = [this](board_line line, int level, std::chrono::microseconds hold_for) {
        set_level(line, level);
        std::this_thread::sleep_for(hold_for);
    };
    init_and_register(1000);
    CaptureStdout();
    ASSERT_EQ(input_monitor_start(), 0);
    hold(input_lines[IN_4G], 1, 20ms);
    hold(input_lines[IN_4G], 0, 0ms);
    ASSERT_TRUE(log.wait_for(2));
    // A 10 ms tap whose contact bounces five times on the way in and out. Writes further
    // apart than the debounce (a loaded machine) are no bounce any more.
    auto bounce = [&](std::initializer_list<int> levels) {
        long long last = monotonic_ns();
        double widest_ms = 0;
        for (int level : levels) {
            set_level(input_lines[IN_WIFI], level);
            const long long now = monotonic_ns();
            widest_ms = std::max(widest_ms, ms_between(last, now));
            last = now;
        }
        return widest_ms < 4.0;
    };
    bool bounced = bounce({1, 0, 1, 0, 1});
    std::this_thread::sleep_for(10ms);
    bounced = bounce({0, 1, 0, 1, 0}) && bounced;
    const bool seen = log.wait_for(4);
    std::this_thread::sleep_for(50ms);
    input_monitor_stop();
    GetCapturedStdout();
    ASSERT_TRUE(seen);
    const Calls calls = log.snapshot();
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 2), (Calls{{IN_4G, 1}, {IN_4G, 0}}));
    if (!bounced)
        GTEST_SKIP() << "writes came further apart than the debounce on this loaded machine";
    EXPECT_EQ(calls, (Calls{{IN_4G, 1}, {IN_4G, 0}, {IN_WIFI, 1}, {IN_WIFI, 0}}));
}

// With every line on edges the thread sleeps until one moves; a refused chip's lines are
// still read at the interval.
TEST_F(InputTest, IdleThreadSleepsOnEdgesAndPollsOnlyARefusedChip)
{
    for (bool refused : {false, true}) {
        if (refused) {
            gpio_cleanup();
            write_file(line_file(input_lines[IN_VALID1], ".no-edge"), "");
            CaptureStdout();
            const int failed = gpio_init() + gpio_init_outputs() + gpio_init_inputs();
            GetCapturedStdout();
            ASSERT_EQ(failed, 0);
        }
        init_and_register(20);
        CaptureStdout();
        ASSERT_EQ(input_monitor_start(), 0);
        ASSERT_TRUE(wait_until([] { return thread_switches("input") >= 0; }));
        std::this_thread::sleep_for(50ms);
        const long before = thread_switches("input");
        std::this_thread::sleep_for(300ms);
        const long woken = thread_switches("input") - before;
        if (refused)
            EXPECT_GE(woken, 5) << "the refused chip's lines were not polled";
        else
            EXPECT_LE(woken, 1) << "the thread woke with no line moving";
        const int flipped = 1 - level(input_lines[IN_VALID2]);
        set_level(input_lines[IN_VALID2], flipped);
        const bool seen = log.wait_for(refused ? 2 : 1);
        input_monitor_stop();
        GetCapturedStdout();
        ASSERT_TRUE(seen);
        EXPECT_EQ(log.snapshot().back(), (std::pair<unsigned, int>{IN_VALID2, flipped}));
    }
}

}  // namespace
