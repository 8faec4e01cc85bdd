// The client's grammar, messages and exit statuses, run in-process against a scripted
// daemon on a real socket: what goes on the wire and what the user sees.
#include "client_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sstream>

namespace {

// ---- Every command word: the request sent, the lines printed, the exit status ----

struct GrammarCase {
    const char *name;
    std::vector<std::string> args;
    bytes reply;                  // the daemon's answer
    std::optional<bytes> request; // what must reach the daemon; nullopt: no connection at all
    const char *out;
    int status;
};

const char VERSION_REPLY[] = "v1.5.0 git:889249d built:2026-06-23";  // 35 bytes, no NUL sent
const char *const led_usage = "Usage: gpioctl led <id> on|off|blink [freq]\n";
const char *const beep_usage = "Usage: gpioctl beep on|off|once [ms]\n";
const char *const invalid_led = "Invalid LED id: SYS\nValid IDs: sys, ext_pwr, storage, data, wifi, 4g, net\n";

const GrammarCase grammar_cases[] = {
    // led
    {"LedWifiBlink", {"led", "wifi", "blink"}, ok(), request_bytes(CMD_LED_BLINK, 4, 1), "LED wifi: blink\n", 0},
    {"Led4gBlinkThree", {"led", "4g", "blink", "3"}, ok(), request_bytes(CMD_LED_BLINK, 5, 3), "LED 4g: blink\n", 0},
    {"LedBlinkFrequencyTruncated", {"led", "data", "blink", "65539"}, ok(), request_bytes(CMD_LED_BLINK, 3, 3),
     "LED data: blink\n", 0},
    {"LedNetOnIgnoresExtraWord", {"led", "net", "on", "extra"}, ok(), request_bytes(CMD_LED_ON, 6),
     "LED net: on\n", 0},
    {"LedSysOff", {"led", "sys", "off"}, ok(), request_bytes(CMD_LED_OFF, 0), "LED sys: off\n", 0},
    {"LedExtPwrOn", {"led", "ext_pwr", "on"}, ok(), request_bytes(CMD_LED_ON, 1), "LED ext_pwr: on\n", 0},
    {"LedStorageOn", {"led", "storage", "on"}, ok(), request_bytes(CMD_LED_ON, 2), "LED storage: on\n", 0},
    {"LedIdIsCaseSensitive", {"led", "SYS", "on"}, ok(), std::nullopt, invalid_led, 255},
    {"LedAlone", {"led"}, ok(), std::nullopt, led_usage, 255},
    {"LedIdWithoutAction", {"led", "sys"}, ok(), std::nullopt, led_usage, 255},
    {"LedUnknownAction", {"led", "sys", "dim"}, ok(), std::nullopt, "Invalid action: dim\n", 255},
    {"LedActionIsCaseSensitive", {"led", "sys", "ON"}, ok(), std::nullopt, "Invalid action: ON\n", 255},
    // beep
    {"BeepOnceDefaultsTo100", {"beep", "once"}, ok(), request_bytes(CMD_BEEP_ONCE, 0, 100), "Beep: once\n", 0},
    {"BeepOnce200", {"beep", "once", "200"}, ok(), request_bytes(CMD_BEEP_ONCE, 0, 200), "Beep: once\n", 0},
    // beep lengths: a whole number of milliseconds from 0 to 65535, or the usage error
    {"BeepOnceLongest", {"beep", "once", "65535"}, ok(), request_bytes(CMD_BEEP_ONCE, 0, 65535), "Beep: once\n", 0},
    {"BeepOnceZero", {"beep", "once", "0"}, ok(), request_bytes(CMD_BEEP_ONCE, 0, 0), "Beep: once\n", 0},
    {"BeepOnceLeadingZeros", {"beep", "once", "0042"}, ok(), request_bytes(CMD_BEEP_ONCE, 0, 42), "Beep: once\n",
     0},
    {"BeepOnceNegativeRefused", {"beep", "once", "-5"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceTooLongRefused", {"beep", "once", "70000"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceJustTooLongRefused", {"beep", "once", "65536"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceHugeRefused", {"beep", "once", "18446744073709551617"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceNonNumberRefused", {"beep", "once", "abc"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceTrailingTextRefused", {"beep", "once", "12abc"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceSignRefused", {"beep", "once", "+7"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceEmptyRefused", {"beep", "once", ""}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOnceFractionRefused", {"beep", "once", "1.5"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepOn", {"beep", "on"}, ok(), request_bytes(CMD_BEEP_ON), "Beep: on\n", 0},
    {"BeepOff", {"beep", "off"}, ok(), request_bytes(CMD_BEEP_OFF), "Beep: off\n", 0},
    {"BeepAlarm", {"beep", "alarm"}, ok(), request_bytes(CMD_BEEP_ALARM), "Beep: alarm\n", 0},
    {"BeepAlone", {"beep"}, ok(), std::nullopt, beep_usage, 255},
    {"BeepUnknownAction", {"beep", "loud"}, ok(), std::nullopt, "Invalid action: loud\n", 255},
    // power
    {"PowerStatus", {"power", "status"}, ok({1}), request_bytes(CMD_POWER_STATUS), "Power status: external\n", 0},
    {"PowerStatusBoth", {"power", "status"}, ok({3}), request_bytes(CMD_POWER_STATUS), "Power status: both\n", 0},
    {"PowerStatusCodeOutOfRangeIsUnknown", {"power", "status"}, ok({9}), request_bytes(CMD_POWER_STATUS),
     "Power status: unknown\n", 0},
    {"Power12vOn", {"power", "12v", "on"}, ok(), request_bytes(CMD_12V_ON), "12V output: on\n", 0},
    {"Power12vOff", {"power", "12v", "off"}, ok(), request_bytes(CMD_12V_OFF), "12V output: off\n", 0},
    {"Power12vAlone", {"power", "12v"}, ok(), std::nullopt, "Usage: gpioctl power 12v on|off\n", 255},
    {"Power12vUnknownAction", {"power", "12v", "up"}, ok(), std::nullopt, "Invalid action: up\n", 255},
    {"PowerAlone", {"power"}, ok(), std::nullopt, "Usage: gpioctl power status|12v on|off\n", 255},
    {"PowerUnknownWord", {"power", "5v"}, ok(), std::nullopt, "Invalid command: 5v\n", 255},
    // input
    {"InputAllInItsOrder", {"input"}, ok({1, 0, 1, 0}), request_bytes(CMD_INPUT_ALL),
     "4G:     HIGH\nVALID1: LOW (外接电源)\nVALID2: HIGH (内接电源)\nWIFI:   LOW\n", 0},
    {"InputAllNonzeroIsHigh", {"input"}, ok({0, 0xff, 0, 7}), request_bytes(CMD_INPUT_ALL),
     "4G:     LOW\nVALID1: HIGH (外接电源)\nVALID2: LOW (内接电源)\nWIFI:   HIGH\n", 0},
    {"Input4g", {"input", "4g"}, ok({1}), request_bytes(CMD_INPUT_4G), "4g: HIGH\n", 0},
    {"InputWifi", {"input", "wifi"}, ok({0}), request_bytes(CMD_INPUT_WIFI), "wifi: LOW\n", 0},
    {"InputValid1", {"input", "valid1"}, ok({1}), request_bytes(CMD_INPUT_VALID1), "valid1: HIGH\n", 0},
    {"InputValid2", {"input", "valid2"}, ok({0}), request_bytes(CMD_INPUT_VALID2), "valid2: LOW\n", 0},
    {"InputUnknown", {"input", "key"}, ok(), std::nullopt, "Invalid input: key\n", 255},
    // 4g and wifi switches
    {"FourGToggle", {"4g", "toggle"}, ok({1}), request_bytes(CMD_4G_TOGGLE), "4G: ON\n", 0},
    {"FourGStatus", {"4g", "status"}, ok({0}), request_bytes(CMD_4G_STATUS), "4G switch: OFF\n", 0},
    {"FourGAlone", {"4g"}, ok(), std::nullopt, "Usage: gpioctl 4g toggle|status|info|on|off\n", 255},
    {"FourGUnknown", {"4g", "up"}, ok(), std::nullopt, "Invalid action: up (use toggle, status, info, on, or off)\n",
     255},
    {"WifiToggle", {"wifi", "toggle"}, ok({0}), request_bytes(CMD_WIFI_TOGGLE), "WiFi: OFF\n", 0},
    {"WifiStatus", {"wifi", "status"}, ok({1}), request_bytes(CMD_WIFI_STATUS), "WiFi switch: ON\n", 0},
    {"WifiAlone", {"wifi"}, ok(), std::nullopt, "Usage: gpioctl wifi toggle|status|on|off\n", 255},
    {"WifiUnknown", {"wifi", "info"}, ok(), std::nullopt, "Invalid action: info (use toggle, status, on, or off)\n",
     255},
    // rtty
    {"RttyOn", {"rtty", "on"}, ok(), request_bytes(CMD_RTTY_ON), "rtty: enabled\n", 0},
    {"RttyOff", {"rtty", "off"}, ok(), request_bytes(CMD_RTTY_OFF), "rtty: disabled\n", 0},
    {"RttyStatusActive", {"rtty", "status"}, ok({1}), request_bytes(CMD_RTTY_STATUS), "rtty: active\n", 0},
    {"RttyStatusInactive", {"rtty", "status"}, ok({0}), request_bytes(CMD_RTTY_STATUS), "rtty: inactive\n", 0},
    {"RttyAlone", {"rtty"}, ok(), std::nullopt, "Usage: gpioctl rtty on|off|status\n", 255},
    {"RttyUnknown", {"rtty", "restart"}, ok(), std::nullopt, "Invalid action: restart (use on, off, or status)\n",
     255},
    // battery
    {"BatteryPercent", {"battery"}, ok({87}), request_bytes(CMD_BATTERY), "Battery: 87%\n", 0},
    {"BatteryNotAvailable", {"battery"}, ok({BATTERY_NA}), request_bytes(CMD_BATTERY), "Battery: N/A\n", 0},
    {"BatteryDaemonErrorIsSilentFailure", {"battery"}, reply_bytes(STATUS_UNKNOWN_COMMAND, {50}),
     request_bytes(CMD_BATTERY), "", 255},
    // ina: 12.345 V, 1500 mA, 18.5 W; little-endian fields at bytes 1, 3 and 5
    {"InaReadings", {"ina"}, ok({0x39, 0x30, 0xdc, 0x05, 0xa0, 0x49, 0x1a, 0x01}), request_bytes(CMD_INA236),
     "=== INA236 Power Monitor ===\nBus Voltage: 12.345 V\nCurrent:     1500 mA  (1.500 A)\n"
     "Power:       18500 mW  (18.500 W)\n",
     0},
    // -150 mA: the current is signed (0xFF6A); 5 V, 0.15 W
    {"InaNegativeCurrent", {"ina"}, ok({0x88, 0x13, 0x6a, 0xff, 0xf0, 0x49, 0x02, 0x00}), request_bytes(CMD_INA236),
     "=== INA236 Power Monitor ===\nBus Voltage: 5.000 V\nCurrent:     -150 mA  (-0.150 A)\n"
     "Power:       150 mW  (0.150 W)\n",
     0},
    {"InaNotFound", {"ina"}, reply_bytes(STATUS_FAILED), request_bytes(CMD_INA236), "INA236: not found\n", 255},
    // a daemon error on a short command is reported, and the command fails
    {"UnknownCommandStatus", {"4g", "status"}, reply_bytes(STATUS_UNKNOWN_COMMAND), request_bytes(CMD_4G_STATUS),
     "Error: 2\n", 255},
    {"BadLengthStatus", {"input"}, reply_bytes(STATUS_BAD_LENGTH), request_bytes(CMD_INPUT_ALL), "Error: 3\n", 255},
    {"Power12vOnFailed", {"power", "12v", "on"}, reply_bytes(STATUS_FAILED), request_bytes(CMD_12V_ON),
     "Error: 1\n", 255},
    {"LedFailed", {"led", "sys", "on"}, reply_bytes(STATUS_FAILED), request_bytes(CMD_LED_ON, 0), "Error: 1\n", 255},
    {"BeepFailed", {"beep", "once"}, reply_bytes(STATUS_FAILED), request_bytes(CMD_BEEP_ONCE, 0, 100), "Error: 1\n",
     255},
    {"RttyOnFailed", {"rtty", "on"}, reply_bytes(STATUS_FAILED), request_bytes(CMD_RTTY_ON), "Error: 1\n", 255},
    {"RttyOffFailed", {"rtty", "off"}, reply_bytes(STATUS_FAILED), request_bytes(CMD_RTTY_OFF), "Error: 1\n", 255},
    {"WifiToggleFailed", {"wifi", "toggle"}, reply_bytes(STATUS_FAILED, {1}), request_bytes(CMD_WIFI_TOGGLE),
     "Error: 1\n", 255},
    // the version text
    {"Version", {"version"}, bytes(VERSION_REPLY, VERSION_REPLY + 35), request_bytes(CMD_VERSION),
     "tesmar_gpio v1.5.0 git:889249d built:2026-06-23\n", 0},
    // dispatch
    {"UnknownWord", {"LED", "sys", "on"}, ok(), std::nullopt, nullptr, 1},
    {"OnlyExactHelpWords", {"-hx"}, ok(), std::nullopt, nullptr, 1},
};

class GrammarTest : public ClientTest, public testing::WithParamInterface<GrammarCase> {};

TEST_P(GrammarTest, SendsAndPrints)
{
    const GrammarCase &c = GetParam();
    fake_ctl_server daemon(socket_path());
    ASSERT_TRUE(daemon.listening());
    daemon.answer(c.reply);

    Outcome run = run_client(c.args);
    EXPECT_EQ(run.status, c.status);
    if (c.out != nullptr)
        EXPECT_EQ(run.out, c.out);
    else
        EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1), "Unknown command: " + c.args[0] + "\n");
    EXPECT_EQ(run.err, "");
    if (c.request)
        EXPECT_EQ(daemon.requests(), std::vector<bytes>{*c.request});
    else
        EXPECT_TRUE(daemon.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, GrammarTest, testing::ValuesIn(grammar_cases),
                         [](const testing::TestParamInfo<GrammarCase> &param) { return param.param.name; });

// ---- Failures of the exchange ----

struct ExchangeFailure {
    const char *name;
    std::vector<std::string> args;
    bytes reply;
    const char *out;
    const char *err;
};

const ExchangeFailure exchange_failures[] = {
    {"BatteryShortReply", {"battery"}, bytes(15, 0), "", "Invalid response\n"},
    {"InaShortReply", {"ina"}, bytes(3, 0), "INA236: daemon not reachable\n", "Invalid response\n"},
    {"VersionNoReply", {"version"}, {}, "", "No response\n"},
};

class ExchangeFailureTest : public ClientTest, public testing::WithParamInterface<ExchangeFailure> {};

TEST_P(ExchangeFailureTest, ReportsAndExits255)
{
    fake_ctl_server daemon(socket_path());
    ASSERT_TRUE(daemon.listening());
    daemon.answer(GetParam().reply);
    Outcome run = run_client(GetParam().args);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(Replies, ExchangeFailureTest, testing::ValuesIn(exchange_failures),
                         [](const testing::TestParamInfo<ExchangeFailure> &param) { return param.param.name; });

TEST_F(ClientTest, WithoutDaemonEveryRequestFailsToConnect)
{
    const std::string message = "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n";
    for (std::vector<std::string> args : {std::vector<std::string>{"led", "sys", "on"}, {"input"}, {"version"},
                                          {"battery"}, {"rtty", "status"}}) {
        Outcome run = run_client(args);
        EXPECT_EQ(run.status, 255) << args[0];
        EXPECT_EQ(run.out, "") << args[0];
        EXPECT_EQ(run.err, message) << args[0];
    }
    Outcome ina = run_client({"ina"});
    EXPECT_EQ(ina.out, "INA236: daemon not reachable\n");
    EXPECT_EQ(ina.err, message);
}

TEST_F(ClientTest, DaemonThatHangsUpNeverKillsTheClient)
{
    // Depending on timing the request meets a closed socket (SIGPIPE unless suppressed) or
    // the reply never comes; either way the client reports and exits 255.
    fake_ctl_server daemon(socket_path());
    daemon.hang_up();
    for (int i = 0; i < 50; i++) {
        Outcome run = run_client({"beep", "off"});
        EXPECT_EQ(run.status, 255);
        EXPECT_TRUE(run.err == "Invalid response\n" || run.err.starts_with("send: ")) << run.err;
    }
}

TEST_F(ClientTest, SocketPathTooLongIsRefusedNotTruncated)
{
    // Truncated, this root would put the socket path right at a live server's socket.
    std::string root = board.root() + "/" + std::string(120, 'r');
    std::string truncated = (root + CTL_SOCKET_PATH).substr(0, 107);
    fake_ctl_server decoy(truncated);
    ASSERT_TRUE(decoy.listening());
    setenv("TESMAR_GPIO_ROOT", root.c_str(), 1);

    Outcome run = run_client({"led", "sys", "on"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.err, "Failed to connect to daemon: /var/run/tesmar_gpio.sock\n");
    EXPECT_TRUE(decoy.requests().empty());
}

// ---- The usage text ----

TEST_F(ClientTest, HelpWordsPrintUsageAndSucceed)
{
    Outcome none = run_client({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(run_client({"-h"}).out, none.out);
    EXPECT_EQ(run_client({"-h"}).status, 0);
    EXPECT_EQ(run_client({"--help"}).out, none.out);
    EXPECT_EQ(run_client({"--help"}).status, 0);
    Outcome unknown = run_client({"-hx"});
    EXPECT_EQ(unknown.out, "Unknown command: -hx\n" + none.out);
}

TEST_F(ClientTest, UsageTextIsExactlyTheDocumentedText)
{
    const char *const expected[] = {
        "TesMar GPIO Control Tool",
        "",
        "Usage: gpioctl <command> [args]",
        "",
        "Commands:",
        "  status                    Show all status",
        "  version                   Show daemon version",
        "  sysinfo                   Show system info (CPU/mem/disk/network)",
        "  led <id> on|off|blink     Control LED (id: sys/ext_pwr/storage/data/wifi/4g/net)",
        "  beep on|off|once [ms]     Control beeper",
        "  power status              Show power status",
        "  power 12v on|off          Control 12V output",
        "  input [4g|wifi|valid1|valid2]  Show input status",
        "  4g toggle|status|info     Toggle, query switch, or show modem info",
        "  4g on|off                 Set the 4G switch (no change when already set)",
        "  wifi toggle|status        Toggle or show WiFi switch state",
        "  wifi on|off               Set the WiFi switch (no change when already set)",
        "  link                      Show the 4G and WiFi link states",
        "  rtty on|off|status        Enable, disable or query rtty service",
        "  battery                   Show battery percentage",
        "  ina                       Show INA236 power monitor (V/A/W)",
        "  sdcard remove             Gracefully eject SD card (kill processes + unmount)",
        "  sdcard status             Show SD card mount status and capacity",
        "  sdcard state              Show SD card recovery state and mount point",
        "  monitor                   Print each change of inputs, switches, links, card",
        "  metrics [--modem]         Print the board's state for Prometheus",
        "",
        "Options (before the command):",
        "  --json                    Print a report or query as one JSON object",
        "  --timeout=SECONDS         Give up on the daemon after SECONDS (0: never)",
        "  --version, -V             Show this program's version",
        "",
        "Examples:",
        "  gpioctl status",
        "  gpioctl led sys on",
        "  gpioctl led wifi blink",
        "  gpioctl beep once 200",
        "  gpioctl power 12v on",
    };
    std::string text = run_client({}).out;
    EXPECT_TRUE(text.ends_with("power 12v on\n"));
    auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), std::size(expected));
    for (std::size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
        // The descriptions line up: column 29, or 34 after the long input command.
        if (lines[i].starts_with("  ") && !lines[i].starts_with("  gpioctl ")) {
            std::size_t column = lines[i].find_first_not_of(' ', lines[i].find("  ", 2)) + 1;
            EXPECT_EQ(column, lines[i].starts_with("  input ") ? 34u : 29u) << lines[i];
        }
    }
}

TEST_F(ClientTest, UsageNamesEveryCommandWord)
{
    std::string usage = run_client({}).out;
    for (const char *word : {"status", "version", "sysinfo", "led", "beep", "power", "input", "4g", "wifi", "rtty",
                             "battery", "ina", "sdcard", "link", "monitor", "metrics"})
        EXPECT_NE(usage.find(std::string("\n  ") + word + " "), std::string::npos) << word;
}

// ---- Numeric words ----

struct NumberCase {
    const char *word;
    std::uint16_t value;
};

class NumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, ReadsLeadingDigitsTruncatedTo16Bits)
{
    EXPECT_EQ(parse_number(GetParam().word), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Words, NumberTest,
                         testing::Values(NumberCase{"0", 0}, NumberCase{"200", 200}, NumberCase{"65535", 65535},
                                         NumberCase{"65536", 0}, NumberCase{"70000", 4464}, NumberCase{"abc", 0},
                                         NumberCase{"", 0}, NumberCase{"12abc", 12}, NumberCase{"  42", 42},
                                         NumberCase{"+7", 7}, NumberCase{"-5", 65531}, NumberCase{"-", 0},
                                         NumberCase{"4294967297", 1}, NumberCase{"12345678901234567890", 2770}));

}  // namespace
