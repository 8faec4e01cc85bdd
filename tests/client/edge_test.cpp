// The client at its edges, as a script sees it: signs, error replies, an older daemon,
// record checks, bytes that must not reach a terminal raw, options, streams and statuses.
#include "client_fixture.h"
#include "command_words.h"
#include "ctl_client.h"
#include "json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

template <typename Record>
bytes with(std::function<void(Record &)> change)
{
    Record r{};
    change(r);
    return record_bytes(r);
}

bytes link_record(std::uint8_t version, std::uint8_t status)
{
    return with<LinkStateRecord>([&](LinkStateRecord &r) {
        r.version = version;
        r.status = status;
        r.dialer_pid = -1;
    });
}

bytes card_state(const char *mount_point, std::uint8_t version = SDCARD_STATE_VERSION, std::uint8_t status = 0)
{
    return with<SdCardStateRecord>([&](SdCardStateRecord &r) {
        r.version = version;
        r.status = status;
        r.mounted = 1;
        std::strncpy(r.mount_point, mount_point, sizeof r.mount_point - 1);
    });
}

const char *const older = "Error: 2\n";  // an older daemon's STATUS_UNKNOWN_COMMAND

struct EdgeCase {
    const char *name;
    std::vector<std::string> args;
    bytes reply;
    const char *out;
    const char *err;
    int status;
};

const EdgeCase edge_cases[] = {
    // the current keeps its sign in JSON: -32768 mA, and -150 mA (0xFF6A)
    {"JsonInaMostNegative", {"--json", "ina"}, ok({0, 0, 0x00, 0x80}), "{\"found\":true,\"bus_mv\":0,\"current_ma\":-32768,\"power_uw\":0}\n", "", 0},
    {"JsonInaMinus150", {"--json", "ina"}, ok({0x88, 0x13, 0x6a, 0xff}), "{\"found\":true,\"bus_mv\":5000,\"current_ma\":-150,\"power_uw\":0}\n", "", 0},
    // an error reply is "Error: N" on standard output, whatever the mode
    {"JsonSysinfoErrorStatus", {"--json", "sysinfo"},
     with<SysInfoRecord>([](SysInfoRecord &r) { r.version = SYSINFO_VERSION; r.status = 1; }), "Error: 1\n", "", 255},
    {"JsonSysinfoGenericError", {"--json", "sysinfo"}, reply_bytes(STATUS_FAILED), "Error: 1\n", "", 255},
    {"SysinfoOlderDaemon", {"sysinfo"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    {"JsonBatteryError", {"--json", "battery"}, reply_bytes(STATUS_FAILED), "Error: 1\n", "", 255},
    {"JsonInputError", {"--json", "input"}, reply_bytes(STATUS_BAD_LENGTH), "Error: 3\n", "", 255},
    {"JsonInaOlderStatus", {"--json", "ina"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    // a daemon older than the additions
    {"LinkOlderDaemon", {"link"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    {"JsonLinkOlderDaemon", {"--json", "link"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    {"CardStateOlderDaemon", {"sdcard", "state"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    {"JsonCardStateOlderDaemon", {"--json", "sdcard", "state"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    {"ModemOlderDaemon", {"--json", "4g", "info"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    // records are checked as sysinfo's is
    {"LinkWrongVersion", {"link"}, link_record(2, 0), "", "Link state version mismatch: got 2, expected 1\n", 255},
    {"LinkErrorStatus", {"link"}, link_record(LINK_STATE_VERSION, 1), "Error: 1\n", "", 255},
    {"JsonLinkErrorStatus", {"--json", "link"}, link_record(LINK_STATE_VERSION, 1), "Error: 1\n", "", 255},
    {"CardStateWrongVersion", {"sdcard", "state"}, card_state("/home/pi/a", 0), "",
     "SD card state version mismatch: got 0, expected 1\n", 255},
    {"JsonCardStateErrorStatus", {"--json", "sdcard", "state"}, card_state("/home/pi/a", 1, 1), "Error: 1\n", "", 255},
    {"VersionErrorReply", {"version"}, reply_bytes(STATUS_FAILED), "Error: 1\n", "", 255},
    {"JsonVersionErrorReply", {"--json", "version"}, reply_bytes(STATUS_UNKNOWN_COMMAND), older, "", 255},
    {"VersionNotAText", {"version"}, ok(), "", "Invalid version response (got 16, expected 35)\n", 255},
    // the daemon's bytes reach a terminal only as visible text
    {"MountPointEscapes", {"sdcard", "state"}, card_state("/home/pi/\x1b]0;owned\x07\xc2\x9b" "2J\xff"),
     "Recovery:    mounted\nMount point: /home/pi/\\x1b]0;owned\\x07\\u009b2J\xef\xbf\xbd\nEject hold:  no\n", "", 0},
    {"VersionEscapes", {"version"}, bytes({'v', '1', 0x1b, '[', '2', 'J'}), "tesmar_gpio v1\\x1b[2J\n", "", 0},
};

class EdgeTest : public ClientTest, public testing::WithParamInterface<EdgeCase> {};

TEST_P(EdgeTest, PrintsAndExits)
{
    const EdgeCase &c = GetParam();
    fake_ctl_server daemon(socket_path());
    ASSERT_TRUE(daemon.listening());
    daemon.answer(c.reply);
    Outcome run = run_client(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Replies, EdgeTest, testing::ValuesIn(edge_cases),
                         [](const testing::TestParamInfo<EdgeCase> &param) { return param.param.name; });

// The overview asks many commands; the INA236's current keeps its sign in it too.
TEST_F(ClientTest, JsonStatusKeepsTheSignOfTheCurrent)
{
    fake_ctl_server daemon(socket_path());
    daemon.answer_with([](const bytes &request) {
        return request.at(0) == CMD_INA236 ? ok({0x88, 0x13, 0x6a, 0xff}) : ok({1});
    });
    Outcome run = run_client({"--json", "status"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"current_ma\":-150,"), std::string::npos) << run.out;
}

// The text reports of the modem and the card show their fields safely too.
TEST_F(ClientTest, ReportsShowControlCharactersSafely)
{
    fake_ctl_server daemon(socket_path());
    daemon.answer(with<ModemInfoRecord>([](ModemInfoRecord &r) {
        r.rssi = r.ber = MODEM_NO_VALUE;
        std::strcpy(r.operator_name, "\x1b[31mX");
        std::strcpy(r.iccid, "89\x9b");
    }));
    Outcome modem = run_client({"4g", "info"});
    EXPECT_NE(modem.out.find("Operator:    \\x1b[31mX\n"), std::string::npos) << modem.out;
    EXPECT_NE(modem.out.find("ICCID:       89\xef\xbf\xbd\n"), std::string::npos) << modem.out;
    daemon.answer(with<SdCardStatusRecord>([](SdCardStatusRecord &r) {
        r.partitions = 1;
        r.process_count = 1;
        std::strcpy(r.mounts, "/home/pi/\r\x1b[K");
        std::strcpy(r.processes, "1\x7f");
    }));
    Outcome card = run_client({"sdcard", "status"});
    EXPECT_NE(card.out.find("Mounts:      /home/pi/\\x0d\\x1b[K\n"), std::string::npos) << card.out;
    EXPECT_NE(card.out.find("Processes:   1 (1\\x7f)\n"), std::string::npos) << card.out;
    EXPECT_EQ(card.out.find('\x1b'), std::string::npos);
}

// ---- Options: what a Debian tool's user expects ----

struct OptionEdge {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *err;  // the first line on standard error
    bool asks;        // whether a request reaches the daemon
};

const OptionEdge option_edges[] = {
    {"TimeoutWithEquals", {"--timeout=1", "4g", "status"}, 0, "", true},
    {"TimeoutFractionWithEquals", {"--timeout=0.5", "--json", "battery"}, 0, "", true},
    {"EndOfOptions", {"--json", "--", "battery"}, 0, "", true},
    {"MisspeltOption", {"--jsn", "status"}, 1, "gpioctl: unknown option '--jsn'", false},
    {"UnknownOptionAfterJson", {"--json", "--pretty", "status"}, 1, "gpioctl: unknown option '--pretty'", false},
    {"TimeoutHexadecimal", {"--timeout", "0x10", "link"}, 1, "gpioctl: --timeout needs a decimal", false},
    {"TimeoutLeadingBlank", {"--timeout", " 1", "link"}, 1, "gpioctl: --timeout needs a decimal", false},
    {"TimeoutExponent", {"--timeout=1e1", "link"}, 1, "gpioctl: --timeout needs a decimal", false},
    {"TimeoutEmptyAfterEquals", {"--timeout=", "link"}, 1, "gpioctl: --timeout needs a decimal", false},
    {"TimeoutTooLong", {"--timeout=86400.5", "link"}, 1, "gpioctl: --timeout needs a decimal", false},
};

class OptionEdgeTest : public ClientTest, public testing::WithParamInterface<OptionEdge> {};

TEST_P(OptionEdgeTest, ParsesAsDocumented)
{
    const OptionEdge &c = GetParam();
    fake_ctl_server daemon(socket_path());
    daemon.answer(ok({50}));
    Outcome run = run_client(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.err.substr(0, std::strlen(c.err)), c.err);
    EXPECT_EQ(daemon.requests().empty(), !c.asks);
    if (c.status == 1) {
        EXPECT_EQ(run.out, "") << "an option error is no unknown command with the usage";
    }
}

INSTANTIATE_TEST_SUITE_P(Words, OptionEdgeTest, testing::ValuesIn(option_edges),
                         [](const testing::TestParamInfo<OptionEdge> &param) { return param.param.name; });

struct TimeoutText {
    const char *text;
    long ms;  // -1: refused
};

class TimeoutTextTest : public testing::TestWithParam<TimeoutText> {};

TEST_P(TimeoutTextTest, ReadsDecimalSecondsOnly)
{
    long ms = -1;
    const bool read = parse_timeout(GetParam().text, ms);
    EXPECT_EQ(read ? ms : -1, GetParam().ms) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, TimeoutTextTest,
                         testing::Values(TimeoutText{"1", 1000}, TimeoutText{"0", 0}, TimeoutText{"0.3", 300},
                                         TimeoutText{"2.25", 2250}, TimeoutText{"0.0001", 1},
                                         TimeoutText{"0.000", 0}, TimeoutText{"86400", 86400000},
                                         TimeoutText{"86400.0", 86400000}, TimeoutText{"86401", -1},
                                         TimeoutText{"0x10", -1}, TimeoutText{" 1", -1}, TimeoutText{"1 ", -1},
                                         TimeoutText{"+1", -1}, TimeoutText{"-1", -1}, TimeoutText{"1.", -1},
                                         TimeoutText{".5", -1}, TimeoutText{"inf", -1}, TimeoutText{"", -1}));

// ---- Usage hints name every word a command takes ----

TEST_F(ClientTest, UsageHintsNameEveryWord)
{
    for (const char *command : {"4g", "wifi", "sdcard", "rtty"}) {
        const char *second = grammar_of(command).second;
        for (std::vector<std::string> args : {std::vector<std::string>{command}, {command, "bogus"}}) {
            Outcome run = run_client(args);
            EXPECT_EQ(run.status, 255);
            for (const char *at = second; *at != '\0';) {
                const char *end = std::strchr(at, ' ');
                std::string word(at, end != nullptr ? end : at + std::strlen(at));
                at += word.size() + (end != nullptr);
                // A whole word: bounded by a separator of the hint on each side.
                bool named = false;
                for (std::size_t p = run.out.find(word); p != std::string::npos; p = run.out.find(word, p + 1))
                    named = named || ((p == 0 || std::strchr(" |(", run.out[p - 1]) != nullptr) &&
                                      std::strchr(" |,)\n", run.out[p + word.size()]) != nullptr);
                EXPECT_TRUE(named) << word << " in " << run.out;
            }
        }
    }
}

// ---- Text written safely for a terminal ----

struct SafeCase {
    std::string in;
    const char *out;
};

class SafeTextTest : public testing::TestWithParam<SafeCase> {};

TEST_P(SafeTextTest, ShowsControlsAndInvalidBytesVisibly)
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    text_write_safe(out, GetParam().in.data(), GetParam().in.size());
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), GetParam().out);
    std::free(text);
}

INSTANTIATE_TEST_SUITE_P(Bytes, SafeTextTest,
                         testing::Values(SafeCase{"/home/pi/tmData", "/home/pi/tmData"},
                                         SafeCase{"a\\b \"c\"", "a\\b \"c\""},
                                         SafeCase{"\x1b[2J\t\n\x7f", "\\x1b[2J\\x09\\x0a\\x7f"},
                                         SafeCase{"\xc2\x9b\xc2\xa0", "\\u009b\xc2\xa0"},
                                         SafeCase{"\xe5\xa4\x96\xf0\x9f\x93\xb6", "\xe5\xa4\x96\xf0\x9f\x93\xb6"},
                                         SafeCase{"\xff\xe2\x82", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
                                         SafeCase{std::string("ab\0\x1b", 4), "ab"}));

}  // namespace
