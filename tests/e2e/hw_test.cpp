// The hardware modules inside the shipped daemon, on a simulated board.
#include "sim_board.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

namespace {

// What the kernel or a previous run might have left: every LED lit or blinking.
void light_every_led(const SimBoard &board)
{
    for (int n = 1; n <= 7; n++) {
        write_file(board.path("/sys/class/leds/sys_led" + std::to_string(n) + "/trigger"), n % 2 ? "timer" : "none");
        write_file(board.path("/sys/class/leds/sys_led" + std::to_string(n) + "/brightness"), "255");
    }
}

void expect_every_led_dark(const SimBoard &board, const char *when, int first = 1)
{
    for (int n = first; n <= 7; n++)
        EXPECT_EQ(board.led(n, "trigger") + "/" + board.led(n, "brightness"), "none/0") << "sys_led" << n << " " << when;
}

TEST(HardwareOnBoard, LedsDarkAndTwelveVoltOffAfterStartAndAfterSigterm)
{
    SimBoard board;
    light_every_led(board);
    write_file(board.path("/sys/class/net/end2/operstate"), "down\n");  // LED7 stays dark
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n")) << daemon.out() << daemon.err();
    // The link manager blinks the status LED while it runs and shows VALID1 (high) on LED2.
    ASSERT_TRUE(daemon.wait_for_output("LINK: VALID1=1 -> LED2=OFF\n")) << daemon.out();
    EXPECT_TRUE(wait_until([&] { return board.led(1, "trigger") == "timer"; }));
    expect_every_led_dark(board, "after start", 2);
    EXPECT_EQ(board.level(6, 13), 0);

    light_every_led(board);
    board.set_level(6, 13, 1);  // as if the 12 V output had been switched on
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(), 0) << daemon.err();
    expect_every_led_dark(board, "after SIGTERM");
    EXPECT_EQ(board.level(6, 13), 0);
}

TEST(HardwareOnBoard, OneHundredMillisecondBeepFollowsStart)
{
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started\n")) << daemon.out() << daemon.err();
    auto beep = [&] { return board.transitions(1, 11); };
    auto high_at = [](const std::vector<std::pair<long long, int>> &transitions) {
        std::vector<size_t> at;
        for (size_t i = 0; i < transitions.size(); i++) {
            if (transitions[i].second == 1)
                at.push_back(i);
        }
        return at;
    };
    ASSERT_TRUE(wait_until([&] { return !high_at(beep()).empty() && beep().back().second == 0; }));
    std::this_thread::sleep_for(500ms);  // long enough for a second beep to show

    auto transitions = beep();
    auto highs = high_at(transitions);
    ASSERT_EQ(highs.size(), 1u);
    ASSERT_LT(highs[0] + 1, transitions.size());
    double length_ms = (transitions[highs[0] + 1].first - transitions[highs[0]].first) / 1e6;
    EXPECT_GE(length_ms, 80);
    EXPECT_LE(length_ms, 350);  // room for a loaded machine, not for a second beep
    EXPECT_EQ(board.level(1, 11), 0);
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 0);
}

TEST(HardwareOnBoard, ModulesJoinThePhasesInOrder)
{
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("INPUT: Monitor thread started (interval=100ms)\n")) << daemon.out();
    board.set_level(6, 12, 1);  // VALID2: no callback, only the log line
    EXPECT_TRUE(daemon.wait_for_output("INPUT: VALID2 changed to HIGH\n"));
    daemon.signal(SIGTERM);
    ASSERT_EQ(daemon.wait_exit(), 0);

    const std::string out = daemon.out();
    size_t from = 0;
    for (const char *line : {"GPIO: Initialized input WIFI (offset 10)\n", "LED: Module initialized (sysfs)\n",
                             "BEEP: Module initialized\n", "POWER: Module initialized\n", "INPUT: Module initialized\n",
                             "All modules initialized\n", "All services started\n", "All services stopped\n",
                             "Cleaning up...\n", "INPUT: Module cleaned up\n", "POWER: Module cleaned up\n",
                             "BEEP: Module cleaned up\n", "LED: Module cleaned up\n", "Cleanup complete\n"}) {
        size_t at = out.find(line, from);
        ASSERT_NE(at, std::string::npos) << "missing, in order: " << line << out;
        from = at;
    }
}

}  // namespace
