#include "link_board.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>

namespace {

class Link4gTest : public LinkBoardTest {
protected:
    void SetUp() override
    {
        LinkBoardTest::SetUp();
        set_delay("0.2");
    }
    void set_delay(const std::string &seconds) { write_board(dialer(".delay"), seconds + "\n"); }
    pid_t dialer_pid() const { return static_cast<pid_t>(std::atoi(board_file(dialer(".pid")).c_str())); }
    // Starts the module with both switches off, then turns 4G on: one request, one dial.
    void switch_on() { start_then_toggle(true, false); }
    bool connected() const
    {
        return wait_until([&] { return link_get_4g_state() == LINK_UP && led(6) == "on"; });
    }
    // The pid of the dialer started last, once it has written it.
    pid_t started_dialer(int starts = 1) const
    {
        wait_until([&] { return dialer_starts() >= starts; });
        return dialer_pid();
    }
};

// Children of this process that have ended but were never reaped.
int zombie_children()
{
    int zombies = 0;
    DIR *proc = opendir("/proc");
    while (dirent *entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            continue;
        char state = 0;
        int parent = 0;
        std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &parent);
        zombies += state == 'Z' && parent == getpid();
    }
    closedir(proc);
    return zombies;
}

bool process_gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

TEST_F(Link4gTest, DialBlinksThenShowsTheLinkSteady)
{
    set_delay("0.5");
    switch_on();
    EXPECT_TRUE(wait_until([&] { return led(6) == "blink 500"; })) << led(6);
    ASSERT_TRUE(connected()) << out();
    EXPECT_TRUE(wait_line("LINK: 4G connected via wwu1u2i4")) << out();
    EXPECT_EQ(count_words(board_file(dialer(".log")), "start -s cmnet"), 1);
    EXPECT_EQ(out_count("LINK: Started quectel-CM (PID " + std::to_string(dialer_pid()) + ")"), 1) << out();
}

// The dialer that never brought the interface up is stopped before the retry starts
// another, so the retry is a real one.
TEST_F(Link4gTest, TimeoutRetryReplacesTheStalledDialer)
{
    set_delay("never");
    switch_on();
    const pid_t stalled = started_dialer();
    ASSERT_TRUE(wait_line("LINK: 4G dial timeout, will retry")) << out();
    EXPECT_EQ(link_get_4g_state(), LINK_FAILED);
    EXPECT_EQ(led(6), "blink 500");
    set_delay("0.2");  // for the next dialer; the stalled one read its own at start
    ASSERT_TRUE(wait_line("LINK: 4G retry dialing")) << out();
    const pid_t fresh = started_dialer(2);
    ASSERT_TRUE(connected()) << out();
    EXPECT_EQ(out_count("LINK: 4G dial timeout, will retry"), 1) << out();
    EXPECT_EQ(out_count("LINK: Stopping quectel-CM (PID " + std::to_string(stalled) + ")"), 1) << out();
    EXPECT_TRUE(process_gone(stalled));
    const std::vector<std::string> expected = {std::to_string(stalled) + " start -s cmnet",
                                               std::to_string(stalled) + " stop",
                                               std::to_string(fresh) + " start -s cmnet"};
    auto log = lines_of(board_file(dialer(".log")));
    std::erase_if(log, [](const std::string &line) { return line.ends_with(" up"); });
    EXPECT_EQ(log, expected);
}

// The interface goes down under a dialer that still runs: shown as dialing again at the
// next check; back up, it is connected without a new dialer; down for longer than the dial
// time-out, the dialer is replaced.
TEST_F(Link4gTest, InterfaceDownUnderALiveDialerIsDialingAgain)
{
    const std::string flags = "/sys/class/net/wwu1u2i4/flags";
    switch_on();
    ASSERT_TRUE(connected()) << out();
    const pid_t first = started_dialer();
    write_board(flags, "0x1002\n");
    EXPECT_TRUE(wait_until([&] { return link_get_4g_state() == LINK_STARTING && led(6) == "blink 500"; })) << out();
    EXPECT_EQ(out_count("LINK: 4G interface wwu1u2i4 went down, waiting for quectel-CM to reconnect"), 1) << out();
    write_board(flags, "0x1003\n");
    ASSERT_TRUE(connected()) << out();
    EXPECT_TRUE(wait_line("LINK: 4G connected via wwu1u2i4", 2)) << out();
    EXPECT_EQ(dialer_starts(), 1);

    write_board(flags, "0x1002\n");
    ASSERT_TRUE(wait_line("LINK: 4G dial timeout, will retry")) << out();
    EXPECT_NE(started_dialer(2), first);
    EXPECT_TRUE(process_gone(first));
    EXPECT_TRUE(connected()) << out();
}

// What the dead dialer left in its group (deaf to SIGTERM) goes before it is reaped.
TEST_F(Link4gTest, DeadDialerIsReapedAndRedialed)
{
    write_board(dialer(".child"), "");
    switch_on();
    ASSERT_TRUE(connected());
    const pid_t first = started_dialer();
    const pid_t helper = std::atoi(board_file(dialer(".child-pid")).c_str());
    ASSERT_GT(helper, 0);
    kill(first, SIGKILL);
    ASSERT_TRUE(wait_line("LINK: quectel-CM died, reconnecting")) << out();
    EXPECT_NE(started_dialer(2), first);
    EXPECT_TRUE(process_gone(first));
    EXPECT_TRUE(wait_until([&] { return process_gone(helper); })) << "the dead dialer's helper outlived it";
    EXPECT_TRUE(connected()) << out();
}

// The dialer ends on SIGTERM, its helper does not: the helper gets SIGKILL at the grace's end.
TEST_F(Link4gTest, HangUpEndsWhatTheDialerLeftInItsGroup)
{
    write_board(dialer(".child"), "");
    switch_on();
    ASSERT_TRUE(connected());
    const pid_t helper = std::atoi(board_file(dialer(".child-pid")).c_str());
    ASSERT_GT(helper, 0);
    EXPECT_EQ(link_toggle_4g(), 0);
    ASSERT_TRUE(wait_line("LINK: quectel-CM stopped")) << out();
    EXPECT_TRUE(wait_until([&] { return process_gone(helper); })) << "the dialer's helper outlived the hang-up";
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(Link4gTest, DialerIgnoringTermIsForceKilled)
{
    write_board(dialer(".ignore-term"), "");
    switch_on();
    ASSERT_TRUE(connected());
    const pid_t pid = started_dialer();
    EXPECT_EQ(link_toggle_4g(), 0);
    ASSERT_TRUE(wait_line("LINK: quectel-CM force killed")) << out();
    EXPECT_EQ(out_count("LINK: Stopping quectel-CM (PID " + std::to_string(pid) + ")"), 1);
    EXPECT_TRUE(process_gone(pid));
    EXPECT_TRUE(wait_until([&] { return led(6) == "off" && link_get_4g_state() == LINK_OFF; }));
}

TEST_F(Link4gTest, SwitchOffDuringADialHangsUp)
{
    link_timing::dial_steps = 600;  // no time-out however slow the machine
    set_delay("never");
    switch_on();
    const pid_t pid = started_dialer();
    ASSERT_TRUE(wait_line("LINK: Started quectel-CM (PID " + std::to_string(pid) + ")")) << out();
    link_toggle_4g();
    ASSERT_TRUE(wait_line("LINK: quectel-CM stopped")) << out();
    EXPECT_TRUE(wait_until([&] { return link_get_4g_state() == LINK_OFF && led(6) == "off"; }));
    EXPECT_TRUE(process_gone(pid));
    EXPECT_EQ(out_count("LINK: 4G dial timeout, will retry"), 0) << out();
    EXPECT_EQ(zombie_children(), 0);
}

struct UnrunnableCase {
    const char *name;
    const char *change;  // made to the dialer's file
    const char *reason;
};

class UnrunnableDialerTest : public Link4gTest, public testing::WithParamInterface<UnrunnableCase> {};

// Each attempt says why the dialer could not be run, and ends as a time-out.
TEST_P(UnrunnableDialerTest, EachAttemptSaysWhyAndEndsAsATimeout)
{
    ASSERT_EQ(std::system((std::string(GetParam().change) + " '" + board.path(dialer("")) + "'").c_str()), 0);
    switch_on();
    ASSERT_TRUE(wait_line("LINK: 4G dial timeout, will retry", 2)) << out();
    EXPECT_EQ(led(6), "blink 500");
    EXPECT_GE(count_lines(err(), std::string("LINK: cannot run quectel-CM (/usr/bin/quectel-CM): ") +
                                     GetParam().reason + ", exit status 127"), 2) << err();
    EXPECT_EQ(err().find("fork quectel-CM failed"), std::string::npos) << err();
    EXPECT_EQ(out().find("LINK: Started quectel-CM"), std::string::npos) << out();
    EXPECT_EQ(zombie_children(), 0);
}

INSTANTIATE_TEST_SUITE_P(Dialers, UnrunnableDialerTest,
                         testing::Values(UnrunnableCase{"Missing", "rm -f", "No such file or directory"},
                                         UnrunnableCase{"NotExecutable", "chmod 644", "Permission denied"}),
                         [](const testing::TestParamInfo<UnrunnableCase> &param) { return param.param.name; });

// A dialer that exits while the link is failed is reaped by the next attempt, which
// starts a new one at once instead of waiting out another timeout.
TEST_F(Link4gTest, DialerExitingWhileFailedIsReplacedByTheNextAttempt)
{
    link_timing::worker_4g_wait = 1s;
    set_delay("never");
    write_board(dialer(".exit-after"), "1.8\n");  // after the 1.5 s timeout, before the retry
    switch_on();
    ASSERT_TRUE(wait_line("LINK: 4G dial timeout, will retry")) << out();
    ASSERT_TRUE(wait_until([&] { return count_words(board_file(dialer(".log")), "exit") == 1; }));
    write_board(dialer(".exit-after"), "never\n");
    ASSERT_TRUE(wait_until([&] { return dialer_starts() == 2; })) << out();
    EXPECT_EQ(out_count("LINK: 4G dial timeout, will retry"), 1) << out();
    EXPECT_EQ(zombie_children(), 0);
}

TEST_F(Link4gTest, InterfaceFlagsBitZeroMeansUp)
{
    const std::pair<const char *, int> cases[] = {{"0x1003\n", 1}, {"0x1002\n", 0}, {"4099\n", 1}, {"", 0}};
    for (const auto &[flags, up] : cases) {
        write_board("/sys/class/net/wwu1u2i4/flags", flags);
        EXPECT_EQ(link_4g_iface_up(), up) << flags;
    }
    ASSERT_EQ(std::system(("rm -r '" + board.path("/sys/class/net/wwu1u2i4") + "'").c_str()), 0);
    EXPECT_EQ(link_4g_iface_up(), 0);
}

}  // namespace
