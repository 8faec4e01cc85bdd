#include "link_board.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>

namespace {

class LinkWifiTest : public LinkBoardTest {
protected:
    void SetUp() override
    {
        LinkBoardTest::SetUp();
        // The manager's periodic check stays out of the worker's way here.
        link_timing::wifi_check_interval = std::chrono::hours(1);
    }
    void break_ap(const std::string &what) { write_board(ap_script(".break"), what + "\n"); }
    int run_ap(const std::string &action)
    {
        return run_command("'" + board.path(ap_script("")) + "' " + action + " >/dev/null");
    }
    void switch_on() { start_then_toggle(false, true); }
};

// One way to break the access point after its script started it.
struct HealthCase {
    const char *name;
    const char *broken;                        // words for the script's .break file
    const char *file;                          // a file under wlan0 to change afterwards
    std::optional<std::string> file_content;  // its new content; none: removed
    const char *line;                          // the check's message; null when healthy
};

class LinkHealthCheck : public LinkWifiTest, public testing::WithParamInterface<HealthCase> {};

TEST_P(LinkHealthCheck, NamesTheFirstFailingStep)
{
    const HealthCase &c = GetParam();
    break_ap(c.broken);
    ASSERT_EQ(run_ap("start"), 0);
    if (c.file != nullptr) {
        const std::string path = board.path(std::string("/sys/class/net/wlan0") + c.file);
        if (c.file_content)
            write_file(path, *c.file_content);
        else
            ASSERT_EQ(std::system(("rm -r '" + path + "'").c_str()), 0);
    }
    EXPECT_EQ(link_wifi_health_check(), c.line == nullptr ? 1 : 0);
    const auto lines = lines_of(out());
    const auto failures = std::count_if(lines.begin(), lines.end(), [](const std::string &l) {
        return l.rfind("LINK: WiFi health check failed", 0) == 0;
    });
    if (c.line == nullptr) {
        EXPECT_EQ(failures, 0) << out();
    } else {
        EXPECT_EQ(failures, 1) << out();
        EXPECT_EQ(out_count(c.line), 1) << out();
    }
}

INSTANTIATE_TEST_SUITE_P(
    LinkAccessPoint, LinkHealthCheck,
    testing::Values(
        HealthCase{"Healthy", "", nullptr, std::nullopt, nullptr},
        HealthCase{"DnsmasqServesDhcp", "dnsmasq", nullptr, std::nullopt, nullptr},
        HealthCase{"NoHostapd", "hostapd", nullptr, std::nullopt, "LINK: WiFi health check failed - hostapd not running"},
        HealthCase{"NoDhcpServer", "dhcp", nullptr, std::nullopt,
                   "LINK: WiFi health check failed - DHCP server not running"},
        HealthCase{"NoInterface", "", "", std::nullopt, "LINK: WiFi health check failed - wlan0 interface not found"},
        HealthCase{"NoOperstate", "", "/operstate", std::nullopt,
                   "LINK: WiFi health check failed - cannot read operstate"},
        HealthCase{"EmptyOperstate", "", "/operstate", "",
                   "LINK: WiFi health check failed - cannot read operstate value"},
        HealthCase{"Dormant", "", "/operstate", "dormant\n", "LINK: WiFi health check failed - wlan0 is dormant"},
        HealthCase{"Down", "up", nullptr, std::nullopt, "LINK: WiFi health check failed - wlan0 is down"},
        HealthCase{"NoAddress", "address", nullptr, std::nullopt,
                   "LINK: WiFi health check failed - no IP address on wlan0"},
        HealthCase{"NotInApMode", "ap-mode", nullptr, std::nullopt,
                   "LINK: WiFi health check failed - wlan0 not in AP mode"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

struct StartCase {
    const char *name;
    const char *broken;
    const char *start_exit;
    const char *line;
    int state;
    const char *led;
};

class LinkWifiStart : public LinkWifiTest, public testing::WithParamInterface<StartCase> {};

TEST_P(LinkWifiStart, ShowsTheOutcomeOnTheWifiLed)
{
    const StartCase &c = GetParam();
    break_ap(c.broken);
    write_board(ap_script(".start-exit"), std::string(c.start_exit) + "\n");
    switch_on();
    ASSERT_TRUE(wait_until([&] { return (out() + err()).find(c.line) != std::string::npos; })) << out() << err();
    EXPECT_EQ(link_get_wifi_state(), c.state);
    EXPECT_EQ(led(5), c.led);
    // A failed start runs no health check; any other start runs one.
    EXPECT_EQ(file_exists(board.path("/sim/bin/pgrep.log")), std::string(c.start_exit) == "0");
}

INSTANTIATE_TEST_SUITE_P(
    LinkAccessPoint, LinkWifiStart,
    testing::Values(StartCase{"Verified", "", "0", "LINK: WiFi AP started and verified", LINK_UP, "on"},
                    StartCase{"ScriptFails", "", "1", "LINK: WiFi AP start failed\n", LINK_FAILED, "blink 100"},
                    StartCase{"VerificationFails", "hostapd", "0", "LINK: WiFi AP started but verification failed",
                              LINK_FAILED, "blink 166"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(LinkWifiTest, TwoQuickFlipsWhileBusyTakeOnlyTheLast)
{
    write_board(ap_script(".delay"), "0.5\n");
    switch_on();
    ASSERT_TRUE(wait_line("LINK: WiFi enabled -> starting AP")) << out();
    link_toggle_wifi();
    link_toggle_wifi();
    ASSERT_TRUE(wait_line("LINK: WiFi AP started and verified", 2, 10s)) << out();
    EXPECT_EQ(out_count("LINK: WiFi disabled -> stopping AP"), 0) << out();
    EXPECT_EQ(ap_runs("start"), 2);
}

TEST_F(LinkWifiTest, TurnOffRunsTheStopScriptEvenAfterAFailedStart)
{
    write_board(ap_script(".start-exit"), "1\n");
    switch_on();
    ASSERT_TRUE(wait_until([&] { return link_get_wifi_state() == LINK_FAILED; })) << out();
    link_toggle_wifi();
    ASSERT_TRUE(wait_line("LINK: WiFi AP stopped")) << out();
    EXPECT_EQ(ap_runs("stop"), 1);
    EXPECT_EQ(link_get_wifi_state(), LINK_OFF);
    EXPECT_EQ(led(5), "off");
}

// The shell that runs the script is killed: its wait status holds no exit status at all.
TEST_F(LinkWifiTest, ScriptKilledBySignalCountsAsFailure)
{
    const std::string script = board.path(ap_script(""));
    write_file(script, "#!/bin/sh\n"
                       "[ \"$(cat /proc/$PPID/comm)\" = sh ] && kill -KILL $PPID\n"
                       "kill -KILL $$\n");
    chmod(script.c_str(), 0755);
    EXPECT_EQ(link_wifi_script("start"), 128 + SIGKILL);
    write_file(script, "#!/bin/sh\nexit 4\n");
    chmod(script.c_str(), 0755);
    EXPECT_EQ(link_wifi_script("stop"), 4);
}

}  // namespace
