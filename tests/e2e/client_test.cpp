// The shipped client against the shipped daemon on a simulated board, and against a
// scripted daemon for the failures a real one rarely shows.
#include "../client/fake_ctl_server.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

RunResult gpioctl(const SimBoard &board, std::vector<std::string> args)
{
    args.insert(args.begin(), client_binary());
    return run_program(args, board.env());
}

struct BoardCase {
    const char *name;
    std::vector<std::string> args;
    const char *out;
    std::function<void(const SimBoard &)> check;
};

const BoardCase board_cases[] = {
    {"LedWifiBlink", {"led", "wifi", "blink"}, "LED wifi: blink\n",
     [](const SimBoard &b) {
         EXPECT_EQ(b.led(5, "trigger"), "timer");
         EXPECT_EQ(b.led(5, "delay_on"), "500");
         EXPECT_EQ(b.led(5, "delay_off"), "500");
     }},
    {"Led4gBlinkThree", {"led", "4g", "blink", "3"}, "LED 4g: blink\n",
     [](const SimBoard &b) { EXPECT_EQ(b.led(6, "delay_on"), "166"); }},
    {"InputShowsTheIdleBoard", {"input"}, "4G:     LOW\nVALID1: HIGH (外接电源)\nVALID2: LOW (内接电源)\nWIFI:   LOW\n",
     nullptr},
    {"PowerStatus", {"power", "status"}, "Power status: external\n", nullptr},
    {"Power12vOn", {"power", "12v", "on"}, "12V output: on\n",
     [](const SimBoard &b) { EXPECT_EQ(b.level(6, 13), 1); }},
    {"BeepOnce", {"beep", "once", "200"}, "Beep: once\n",
     [](const SimBoard &b) {
         // The start-up beep and this one: two rises of the beeper line.
         int rises = 0;
         EXPECT_TRUE(wait_until([&] {
             rises = 0;
             for (auto [when, level] : b.transitions(1, 11))
                 rises += level == 1;
             return rises == 2;
         })) << rises;
     }},
};

class ClientOnBoardTest : public testing::TestWithParam<BoardCase> {};

TEST_P(ClientOnBoardTest, ActsAndPrints)
{
    SimBoard board;
    DaemonProcess daemon(board);
    ASSERT_TRUE(daemon.wait_for_output("All services started")) << daemon.err();

    RunResult run = gpioctl(board, GetParam().args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.err, "");
    if (GetParam().check)
        GetParam().check(board);
}

INSTANTIATE_TEST_SUITE_P(Commands, ClientOnBoardTest, testing::ValuesIn(board_cases),
                         [](const testing::TestParamInfo<BoardCase> &param) { return param.param.name; });

struct FailureCase {
    const char *name;
    bytes reply;  // from the scripted daemon
    int status;
    const char *out;
    const char *err;
};

const FailureCase failure_cases[] = {
    {"ErrorStatusIsReportedAndFails", reply_bytes(STATUS_FAILED), 255, "Error: 1\n", ""},
    {"ShortReplyIsInvalid", bytes(8, 0), 255, "", "Invalid response\n"},
    {"ClosedWithoutReplyIsInvalid", {}, 255, "", "Invalid response\n"},
};

class ClientAgainstScriptedDaemonTest : public testing::TestWithParam<FailureCase> {};

TEST_P(ClientAgainstScriptedDaemonTest, ReportsTheFailure)
{
    SimBoard board;
    fake_ctl_server daemon(board.path(CTL_SOCKET_PATH));
    ASSERT_TRUE(daemon.listening());
    daemon.answer(GetParam().reply);

    RunResult run = gpioctl(board, {"led", "sys", "on"});
    EXPECT_EQ(run.status, GetParam().status);
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.err, GetParam().err);
    EXPECT_EQ(daemon.requests(), std::vector<bytes>{request_bytes(CMD_LED_ON, 0)});
}

INSTANTIATE_TEST_SUITE_P(Replies, ClientAgainstScriptedDaemonTest, testing::ValuesIn(failure_cases),
                         [](const testing::TestParamInfo<FailureCase> &param) { return param.param.name; });

TEST(ClientWithoutDaemonTest, PrintsTheBoardSocketPathAndExits255)
{
    SimBoard board;
    RunResult run = gpioctl(board, {"led", "sys", "on"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n");
}

}  // namespace
