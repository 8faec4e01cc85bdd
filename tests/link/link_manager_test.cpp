#include "link_board.h"
#include "process.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>

namespace {

using steady = std::chrono::steady_clock;

class LinkManagerTest : public LinkBoardTest {
protected:
    void break_ap(const std::string &what) { write_board(ap_script(".break"), what + "\n"); }
    void kill_hostapd() { kill(std::atoi(board_file("/sim/ap/hostapd.pid").c_str()), SIGTERM); }
    bool wifi_up() const
    {
        return wait_until([&] { return link_get_wifi_state() == LINK_UP && led(5) == "on"; });
    }
    // Pacing waits ten times the shipped ones, so a stop that sits out any of them takes
    // 10 s, well clear of what a loaded machine adds to a prompt stop.
    static void long_pacing()
    {
        link_timing::worker_4g_wait = 100s;
        link_timing::dial_step = 10s;
        link_timing::manager_step = 10s;
    }
    static constexpr auto prompt = 4s;
    // Brings the access point up, slows pgrep to DELAY seconds and returns once a periodic
    // health check is inside it.
    testing::AssertionResult ap_up_and_a_check_held(const char *delay)
    {
        start_then_toggle(false, true);
        if (!wifi_up())
            return testing::AssertionFailure() << "the access point did not come up:\n" << out();
        const std::string pgrep_log = board.path("/sim/bin/pgrep.log");
        write_board("/sim/bin/pgrep.delay", std::string(delay) + "\n");
        const auto calls = lines_of(read_file(pgrep_log)).size();
        if (!wait_until([&] { return lines_of(read_file(pgrep_log)).size() > calls; }))
            return testing::AssertionFailure() << "no health check started:\n" << out();
        return testing::AssertionSuccess();
    }
    static std::chrono::milliseconds timed_stop()
    {
        const auto begin = steady::now();
        link_stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - begin);
    }
};

TEST_F(LinkManagerTest, ThreeFailedRecoveriesThenOnlyTheExhaustedLine)
{
    start_then_toggle(false, true);
    ASSERT_TRUE(wifi_up()) << out();
    break_ap("hostapd");
    kill_hostapd();
    ASSERT_TRUE(wait_line("LINK: WiFi recovery attempts exhausted (3)", 2, 15s)) << out();
    for (int attempt = 1; attempt <= 3; attempt++)
        EXPECT_EQ(out_count("LINK: Attempting WiFi recovery (attempt " + std::to_string(attempt) + "/3)"), 1);
    EXPECT_EQ(out_count("LINK: WiFi recovery verification failed"), 3) << out();
    EXPECT_EQ(link_get_wifi_state(), LINK_FAILED);
    EXPECT_TRUE(wait_until([&] { return led(5) == "blink 100"; })) << led(5);
    const int starts = ap_runs("start");
    EXPECT_EQ(starts, 4);  // the worker's and three recoveries
    ASSERT_TRUE(wait_line("LINK: WiFi recovery attempts exhausted (3)", 3, 5s));
    EXPECT_EQ(ap_runs("start"), starts) << "the access point is left alone once exhausted";

    // Healed by hand: the next check finds it healthy and shows it, without a recovery.
    break_ap("");
    ASSERT_EQ(run_command("'" + board.path(ap_script("")) + "' start >/dev/null"), 0);
    EXPECT_TRUE(wifi_up()) << out();
    EXPECT_EQ(out_count("LINK: Attempting WiFi recovery (attempt 1/3)"), 1);
    // Healthy again, so its next failure is recovered from the first attempt on.
    kill_hostapd();
    ASSERT_TRUE(wait_line("LINK: WiFi recovery successful", 1, 10s)) << out();
    EXPECT_EQ(out_count("LINK: Attempting WiFi recovery (attempt 1/3)"), 2) << out();
    EXPECT_TRUE(wifi_up());
}

TEST_F(LinkManagerTest, RecoveryRestartsAKilledHostapd)
{
    start_then_toggle(false, true);
    ASSERT_TRUE(wifi_up()) << out();
    kill_hostapd();
    ASSERT_TRUE(wait_line("LINK: WiFi recovery successful", 1, 10s)) << out();
    EXPECT_EQ(out_count("LINK: WiFi health check failed - hostapd not running"), 1) << out();
    EXPECT_EQ(out_count("LINK: Attempting WiFi recovery (attempt 1/3)"), 1);
    EXPECT_TRUE(wifi_up());
}

TEST_F(LinkManagerTest, RecoveryWhoseStartFailsBlinksAtThreeHertz)
{
    start_then_toggle(false, true);
    ASSERT_TRUE(wifi_up()) << out();
    write_board(ap_script(".start-exit"), "1\n");
    kill_hostapd();
    ASSERT_TRUE(wait_line("LINK: WiFi recovery failed - start command failed", 1, 10s)) << out();
    EXPECT_EQ(link_get_wifi_state(), LINK_FAILED);
    EXPECT_TRUE(wait_until([&] { return led(5) == "blink 166"; })) << led(5);
    // Whatever servers the failed start left are taken down with the daemon.
    const int stops = ap_runs("stop");
    link_stop();
    EXPECT_EQ(ap_runs("stop"), stops + 1);
}

TEST_F(LinkManagerTest, EthernetCarrierAndExternalPowerOnTheirLeds)
{
    ASSERT_EQ(input_monitor_start(), 0);
    start_with("0 0\n");
    ASSERT_TRUE(wait_line("LINK: end2 link up -> LED7=ON")) << out();
    EXPECT_EQ(out_count("LINK: VALID1=1 -> LED2=OFF"), 1);
    EXPECT_EQ(led(2), "off");
    EXPECT_EQ(led(7), "on");

    write_board("/sys/class/net/end2/operstate", "down\n");
    ASSERT_TRUE(wait_line("LINK: end2 link down -> LED7=OFF")) << out();
    EXPECT_EQ(led(7), "off");
    // Unreadable: nothing changes and nothing is said.
    ASSERT_EQ(unlink(board.path("/sys/class/net/end2/operstate").c_str()), 0);
    board.set_level(6, 11, 0);  // external supply gone
    ASSERT_TRUE(wait_line("LINK: VALID1=0 -> LED2=ON")) << out();
    EXPECT_EQ(led(2), "on");
    EXPECT_EQ(out_count("LINK: end2 link down -> LED7=OFF"), 1);
    EXPECT_EQ(out_count("LINK: end2 link up -> LED7=ON"), 1);
}

TEST_F(LinkManagerTest, StartWithBothSwitchesOnBringsBothUp)
{
    write_board(dialer(".delay"), "0.2\n");
    start_with("1 1\n");
    EXPECT_TRUE(wait_until([&] { return link_get_4g_state() == LINK_UP && led(6) == "on"; })) << out();
    EXPECT_TRUE(wifi_up()) << out();
    EXPECT_EQ(dialer_starts(), 1);
    EXPECT_EQ(led(1), "blink 500");  // the status LED while the manager runs
}

TEST_F(LinkManagerTest, StopDuringADialIsPromptAndReapsTheDialer)
{
    long_pacing();
    write_board(dialer(".delay"), "never\n");
    start_with("1 0\n");
    ASSERT_TRUE(wait_until([&] { return dialer_starts() == 1; })) << out();
    const pid_t pid = std::atoi(board_file(dialer(".pid")).c_str());
    ASSERT_TRUE(wait_line("LINK: Started quectel-CM (PID " + std::to_string(pid) + ")"));
    EXPECT_LT(timed_stop(), prompt) << out();
    EXPECT_EQ(out_count("LINK: 4G dial timeout, will retry"), 1) << out();
    EXPECT_EQ(out_count("LINK: quectel-CM stopped"), 1) << out();
    EXPECT_TRUE(kill(pid, 0) != 0 && errno == ESRCH) << "dialer left behind or unreaped";
    EXPECT_EQ(board_file("/sys/class/net/wwu1u2i4/flags"), "0x1002\n");
}

TEST_F(LinkManagerTest, StopWithBothLinksUpIsPromptAndTakesThemDown)
{
    long_pacing();
    write_board(dialer(".delay"), "0.2\n");
    // Up already at the dial's first look, which the next would follow only 10 s later.
    write_board("/sys/class/net/wwu1u2i4/flags", "0x1003\n");
    start_then_toggle(true, true);
    ASSERT_TRUE(wait_until([&] { return link_get_4g_state() == LINK_UP; })) << out();
    ASSERT_TRUE(wait_line("LINK: WiFi AP started and verified")) << out();
    EXPECT_LT(timed_stop(), prompt) << out();
    EXPECT_EQ(out_count("LINK: quectel-CM stopped"), 1) << out();
    EXPECT_EQ(ap_runs("stop"), 1);
    for (int n : {1, 2, 5, 6, 7})
        EXPECT_EQ(led(n), "off") << "sys_led" << n;
    EXPECT_EQ(link_get_wifi_state(), LINK_OFF);
    // Stop, then cleanup: the stop sequence runs once.
    link_cleanup();
    EXPECT_EQ(out_count("LINK: Stopping..."), 1);
    EXPECT_EQ(out_count("LINK: Module cleaned up"), 1);
    // The switches outlive the stop.
    EXPECT_EQ(board_file("/var/lib/tesmar_gpio/link_state"), "1 1\n");
}

// Replaces a stand-in with one that records what it was given and then waits.
void install_probe(const std::string &path, const std::string &record)
{
    write_file(path, "#!/bin/sh\necho $$ > '" + record + "'\nexec sleep 2\n");
    chmod(path.c_str(), 0755);
}

// The descriptors, ignored and blocked signals of a running process.
std::string child_view(pid_t pid)
{
    std::string view;
    DIR *fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (fds == nullptr)
        return "gone";
    while (dirent *entry = readdir(fds)) {
        if (entry->d_name[0] != '.')
            view += std::string("fd ") + entry->d_name + "\n";
    }
    closedir(fds);
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigIgn:", 0) == 0 || line.rfind("SigBlk:", 0) == 0)
            view += line + "\n";
    }
    return view;
}

TEST_F(LinkManagerTest, ChildrenGetNoDescriptorsAndNoSignalSettingsOfTheDaemon)
{
    const int stray = open("/dev/null", O_RDONLY);  // not close-on-exec, as a library might leave one
    ASSERT_GE(stray, 3);
    signal(SIGQUIT, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);  // the module's threads inherit it

    const std::string dialer_record = board.path("/dialer.pid");
    const std::string script_record = board.path("/script.pid");
    install_probe(board.path(dialer("")), dialer_record);
    install_probe(board.path(ap_script("")), script_record);
    start_with("1 1\n");

    const std::string clean = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";
    for (const std::string &record : {dialer_record, script_record}) {
        ASSERT_TRUE(wait_until([&] { return !read_file(record).empty(); })) << record;
        const pid_t pid = std::atoi(read_file(record).c_str());
        std::string view;
        // Once the probe's shell has become the program it runs.
        const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
        ASSERT_TRUE(wait_until([&] { return read_file(comm) == "sleep\n"; })) << record;
        // The program may hold a file of its own for a moment as it starts (its locale);
        // a descriptor the daemon leaked stays.
        const std::string expected = "fd 0\nfd 1\nfd 2\n" + clean;
        wait_until([&] { return (view = child_view(pid)) == expected; }, 1s);
        EXPECT_EQ(view, expected) << record;
    }
    close(stray);
}

}  // namespace

namespace {

// The switch goes off while a periodic check runs: the check's result is stale, and the
// access point must stay off, not be "recovered" against the switch.
TEST_F(LinkManagerTest, CheckRacingASwitchOffDoesNotRestartTheAccessPoint)
{
    ASSERT_TRUE(ap_up_and_a_check_held("0.5"));
    link_toggle_wifi();
    ASSERT_TRUE(wait_line("LINK: WiFi AP stopped")) << out();
    write_board("/sim/bin/pgrep.delay", "0\n");
    std::this_thread::sleep_for(link_timing::wifi_check_interval * 3);
    EXPECT_EQ(out_count("LINK: WiFi health check failed, initiating recovery"), 0) << out();
    EXPECT_EQ(lines_of(board_file(ap_script(".log"))).back(), "stop 0");
    EXPECT_EQ(link_get_wifi_state(), LINK_OFF);
    EXPECT_EQ(led(5), "off");
}

// The stop cuts a health check short: its failure is the stop's doing, so no recovery
// starts (one would only hold the stop up), and the stop takes the access point down.
TEST_F(LinkManagerTest, ACheckTheStopCutsShortStartsNoRecovery)
{
    ASSERT_TRUE(ap_up_and_a_check_held("5"));
    process_stop_all();
    link_stop();
    EXPECT_EQ(out_count("LINK: WiFi health check failed, initiating recovery"), 0) << out();
    EXPECT_EQ(ap_runs("stop"), 1) << out();
}

}  // namespace
