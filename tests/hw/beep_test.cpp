#include "beep.h"
#include "emulation.h"
#include "hw_board.h"

namespace {

// Lengths come from the recorded transitions; the bounds leave room for a loaded
// machine and sanitizer builds, never for a wrong pattern.
constexpr double early_ms = 20, late_ms = 250;

class BeepTest : public HwBoardTest {
protected:
    void SetUp() override
    {
        HwBoardTest::SetUp();
        CaptureStdout();
        beep_init();
        GetCapturedStdout();
    }
    void TearDown() override
    {
        CaptureStdout();
        beep_cleanup();
        GetCapturedStdout();
        HwBoardTest::TearDown();
    }

    // High periods (rising, falling ns), repeated highs merged; falling -1 while high.
    std::vector<std::pair<long long, long long>> pulses() const
    {
        std::vector<std::pair<long long, long long>> result;
        bool high = false;
        for (const auto &[when, value] : board.transitions(beep_line.chip, beep_line.offset)) {
            if (value == 1 && !high)
                result.emplace_back(when, -1);
            else if (value == 0 && high)
                result.back().second = when;
            high = value == 1;
        }
        return result;
    }

    size_t rises_since(long long since_ns) const
    {
        size_t count = 0;
        for (const auto &pulse : pulses())
            count += pulse.first >= since_ns;
        return count;
    }

    static bool wait_silent() { return wait_until([] { return beep_is_active() == 0; }); }
    bool wait_sounding() const { return wait_until([this] { return level(beep_line) == 1; }); }
};

void expect_near(double measured_ms, double expected_ms)
{
    EXPECT_GE(measured_ms, expected_ms - early_ms);
    EXPECT_LE(measured_ms, expected_ms + late_ms);
}

TEST_F(BeepTest, OnceSoundsForTheDurationOrOneHundredMilliseconds)
{
    for (auto [asked, expected] : {std::pair{0, 100}, {-5, 100}, {250, 250}}) {
        ASSERT_EQ(beep_once(asked), 0);
        ASSERT_TRUE(wait_silent());
        ASSERT_NE(pulses().back().second, -1);
        expect_near(ms_between(pulses().back().first, pulses().back().second), expected);
    }
    EXPECT_EQ(pulses().size(), 3u);
}

// Zeros pick the defaults, those of the alarm command: three 100 ms beeps, 200 ms apart.
TEST_F(BeepTest, AlarmPlaysBeepsSeparatedByGaps)
{
    ASSERT_EQ(beep_alarm(0, 0, 0), 0);
    ASSERT_TRUE(wait_silent());
    auto recorded = pulses();
    ASSERT_EQ(recorded.size(), 3u);
    for (size_t i = 0; i < recorded.size(); i++) {
        expect_near(ms_between(recorded[i].first, recorded[i].second), 100);
        if (i > 0)
            expect_near(ms_between(recorded[i - 1].second, recorded[i].first), 200);
    }
    expect_near(ms_between(recorded[0].first, recorded[2].second), 700);
}

TEST_F(BeepTest, OffDuringAnAlarmWaitsForItToFinish)
{
    ASSERT_EQ(beep_alarm(3, 100, 200), 0);
    ASSERT_TRUE(wait_sounding());
    EXPECT_EQ(beep_off(), 0);
    const long long returned = monotonic_ns();
    auto recorded = pulses();
    ASSERT_EQ(recorded.size(), 3u);
    EXPECT_GE(ms_between(recorded[0].first, returned), 700 - early_ms);
    EXPECT_EQ(level(beep_line), 0);
}

TEST_F(BeepTest, TwoTonesInARowLeaveOneWorker)
{
    SKIP_WHEN_EMULATED("counts /proc/self/task, where qemu-user's own threads come and go");
    const int before = thread_count();
    ASSERT_EQ(beep_on() + beep_on(), 0);
    EXPECT_EQ(thread_count(), before + 1);
    EXPECT_TRUE(wait_sounding());
    EXPECT_EQ(beep_off(), 0);
    const long long stopped = monotonic_ns();
    EXPECT_TRUE(wait_until([before] { return thread_count() == before; }));
    // A worker left behind would drive the line high again within 100 ms.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(rises_since(stopped), 0u);
    EXPECT_EQ(level(beep_line), 0);
}

TEST_F(BeepTest, OnceDuringAToneEndsTheTone)
{
    ASSERT_EQ(beep_on(), 0);
    ASSERT_TRUE(wait_sounding());
    const long long asked = monotonic_ns();
    ASSERT_EQ(beep_once(500), 0);
    ASSERT_TRUE(wait_silent());
    ASSERT_NE(pulses().back().second, -1);
    // The tone notices within its 100 ms cycle, then holds the line for 500 ms.
    const double until_silent = ms_between(asked, pulses().back().second);
    EXPECT_GE(until_silent, 500 - early_ms);
    EXPECT_LE(until_silent, 600 + late_ms);
    const long long ended = monotonic_ns();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(rises_since(ended), 0u) << "the tone resumed";
}

TEST_F(BeepTest, MuteSilencesEveryPatternUntilUnmuted)
{
    EXPECT_EQ(beep_set_mute(5), 0);
    EXPECT_EQ(beep_get_mute(), 1);
    EXPECT_EQ(beep_once(200) + beep_alarm(3, 100, 200), 0);
    ASSERT_TRUE(wait_silent());
    ASSERT_EQ(beep_on(), 0);
    std::this_thread::sleep_for(250ms);
    EXPECT_TRUE(pulses().empty());
    EXPECT_EQ(beep_is_active(), 1) << "a muted tone goes on silently";

    EXPECT_EQ(beep_set_mute(0), 0);
    EXPECT_TRUE(wait_until([this] { return level(beep_line) == 1; }, 1s));
}

// Control connections start and stop patterns at the same moment: no worker may be
// joined twice, dropped while joinable, or left sounding.
TEST_F(BeepTest, RacingStartsAndStopsLeaveNoWorkerBehind)
{
    SKIP_WHEN_EMULATED("counts /proc/self/task, where qemu-user's own threads come and go");
    const int before = thread_count();
    static int (*const requests[])() = {beep_on, [] { return beep_once(5); }, [] { return beep_alarm(2, 5, 5); },
                                        beep_off};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; t++) {
        clients.emplace_back([t] {
            for (int i = 0; i < 40; i++)
                requests[(i + t) % 4]();
        });
    }
    for (std::thread &client : clients)
        client.join();
    EXPECT_EQ(beep_off(), 0);
    const long long stopped = monotonic_ns();
    EXPECT_TRUE(wait_until([before] { return thread_count() == before; }));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(rises_since(stopped), 0u);
    EXPECT_EQ(level(beep_line), 0);
}

// A requested length must not hold up shutdown.
TEST_F(BeepTest, CleanupCutsALongBeepShort)
{
    ASSERT_EQ(beep_once(60000), 0);
    ASSERT_TRUE(wait_sounding());
    const long long asked = monotonic_ns();
    CaptureStdout();
    beep_cleanup();
    EXPECT_EQ(GetCapturedStdout(), "BEEP: Module cleaned up\n");
    EXPECT_LT(ms_between(asked, monotonic_ns()), 5000);
    EXPECT_EQ(level(beep_line), 0);
    EXPECT_EQ(beep_is_active(), 0);
}

// The daemon's stop: a long pattern ends at once, new patterns are refused with a
// message, and off still silences; a later init accepts patterns again.
TEST_F(BeepTest, StopCutsThePatternShortAndRefusesNewOnes)
{
    ASSERT_EQ(beep_once(60000), 0);
    ASSERT_TRUE(wait_until([&] { return pulses().size() == 1; }));
    const long long asked = monotonic_ns();
    beep_stop();
    ASSERT_TRUE(wait_silent());
    EXPECT_LT(ms_between(asked, monotonic_ns()), 1000);
    EXPECT_EQ(level(beep_line), 0);

    CaptureStderr();
    EXPECT_EQ(beep_on(), -1);
    EXPECT_EQ(beep_once(100), -1);
    EXPECT_EQ(beep_alarm(3, 100, 200), -1);
    EXPECT_EQ(GetCapturedStderr(), "BEEP: Stopping, pattern refused\n"
                                   "BEEP: Stopping, pattern refused\n"
                                   "BEEP: Stopping, pattern refused\n");
    EXPECT_EQ(beep_off(), 0);
    EXPECT_EQ(beep_is_active(), 0);
    EXPECT_EQ(pulses().size(), 1u) << "a refused pattern sounded";

    CaptureStdout();
    beep_init();
    GetCapturedStdout();
    EXPECT_EQ(beep_once(50), 0);
    EXPECT_TRUE(wait_silent());
    EXPECT_EQ(pulses().size(), 2u);
}

}  // namespace
