// The client's additions: set commands, link and card state views, options, the time-out,
// JSON escaping and JSON nulls for what the daemon did not get.
#include "client_fixture.h"
#include "json.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

LinkStateRecord dialing_link()
{
    LinkStateRecord r{};
    r.version = LINK_STATE_VERSION;
    r.switch_4g = 1;
    r.state_4g = LINK_REPORT_STARTING;
    r.attempts_4g = 2;
    r.dialer_pid = 4242;
    r.state_wifi = LINK_REPORT_RECOVERING;
    r.attempts_wifi = 1;
    r.switch_wifi = 1;
    return r;
}

SdCardStateRecord mounted_card()
{
    SdCardStateRecord r{};
    r.version = SDCARD_STATE_VERSION;
    r.recovery_state = SDCARD_STATE_REMOUNTING;
    r.eject_hold = 0;
    r.mounted = 1;
    std::strcpy(r.mount_point, "/home/pi/tmData");
    return r;
}

struct ViewCase {
    const char *name;
    std::vector<std::string> args;
    bytes reply;
    bytes request;
    const char *out;
    int status = 0;  // the client's exit status: 255 when the daemon reports an error
};

const ViewCase view_cases[] = {
    {"FourGOnChanges", {"4g", "on"}, ok({1, 1}), request_bytes(CMD_4G_SET, 0, 1), "4G: ON\n"},
    {"FourGOffAlreadyOff", {"4g", "off"}, ok({0, 0}), request_bytes(CMD_4G_SET, 0, 0),
     "4G: OFF (already set, unchanged)\n"},
    {"WifiOn", {"wifi", "on"}, ok({1, 1}), request_bytes(CMD_WIFI_SET, 0, 1), "WiFi: ON\n"},
    {"SetAgainstOlderDaemon", {"wifi", "off"}, reply_bytes(STATUS_UNKNOWN_COMMAND), request_bytes(CMD_WIFI_SET),
     "Error: 2\n", 255},
    {"Link", {"link"}, record_bytes(dialing_link()), request_bytes(CMD_LINK_STATE),
     "4G:    switch=ON  state=dialing  attempts=2  iface=down  dialer=4242\n"
     "WiFi:  switch=ON  state=recovering  attempts=1\n"},
    {"SdcardState", {"sdcard", "state"}, record_bytes(mounted_card()), request_bytes(CMD_SDCARD_STATE),
     "Recovery:    remounting\nMount point: /home/pi/tmData\nEject hold:  no\n"},
    {"JsonLink", {"--json", "link"}, record_bytes(dialing_link()), request_bytes(CMD_LINK_STATE),
     "{\"4g\":{\"switch\":true,\"state\":\"dialing\",\"attempts\":2,\"iface_up\":false,\"dialer_pid\":4242},"
     "\"wifi\":{\"switch\":true,\"state\":\"recovering\",\"attempts\":1}}\n"},
    {"JsonSdcardState", {"--json", "sdcard", "state"}, record_bytes(mounted_card()), request_bytes(CMD_SDCARD_STATE),
     "{\"recovery_state\":\"remounting\",\"eject_hold\":false,\"mounted\":true,\"mount_point\":\"/home/pi/tmData\"}\n"},
};

class ViewTest : public ClientTest, public testing::WithParamInterface<ViewCase> {};

TEST_P(ViewTest, SendsAndPrints)
{
    const ViewCase &c = GetParam();
    fake_ctl_server daemon(socket_path());
    ASSERT_TRUE(daemon.listening());
    daemon.answer(c.reply);
    Outcome run = run_client(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(daemon.requests(), std::vector<bytes>{c.request});
}

INSTANTIATE_TEST_SUITE_P(Commands, ViewTest, testing::ValuesIn(view_cases),
                         [](const testing::TestParamInfo<ViewCase> &param) { return param.param.name; });

// ---- Values the daemon did not get are null in JSON, never 0 ----

ModemInfoRecord modem_without_port()
{
    ModemInfoRecord r{};
    r.status = 1;
    r.rssi = MODEM_NO_VALUE;
    r.ber = MODEM_NO_VALUE;
    return r;
}

ModemInfoRecord modem_without_cell()
{
    ModemInfoRecord r = modem_without_port();
    r.status = 0;
    r.reg_status = 2;
    return r;
}

SysInfoRecord bare_system()
{
    SysInfoRecord r{};
    r.version = SYSINFO_VERSION;
    r.mem_total_kib = 1000;
    r.default_route = ROUTE_NONE;
    r.battery_pct = BATTERY_NA;
    return r;
}

SdCardStatusRecord no_card()
{
    SdCardStatusRecord r{};
    r.version = 1;
    r.status = 1;
    return r;
}

struct NullCase {
    const char *name;
    std::vector<std::string> args;
    bytes reply;
    std::vector<const char *> members;  // each must appear in the object
    int status = 0;  // 255 where the text form fails too
};

const NullCase null_cases[] = {
    {"ModemWithoutPort", {"4g", "info"}, record_bytes(modem_without_port()),
     {"\"available\":false", "\"iccid\":null", "\"rssi\":null", "\"ber\":null", "\"mcc\":null", "\"rsrp_dbm\":null",
      "\"reg_status\":null", "\"connected\":null"}},
    {"ModemWithoutCell", {"4g", "info"}, record_bytes(modem_without_cell()),
     {"\"available\":true", "\"operator\":null", "\"reg_status\":2", "\"cell_id\":null", "\"band\":null",
      "\"rssi_dbm\":null"}},
    {"SystemWithoutSensorCardOrRoute", {"sysinfo"}, record_bytes(bare_system()),
     {"\"cpu_temp_c\":null", "\"sd_total_kib\":null", "\"end1\":null", "\"default_route\":null",
      "\"battery_pct\":null", "\"mem_total_kib\":1000"}},
    {"CardNotInserted", {"sdcard", "status"}, record_bytes(no_card()),
     {"\"mounted\":false", "\"total_kib\":null", "\"mounts\":null"}},
    {"InaNotFound", {"ina"}, reply_bytes(STATUS_FAILED), {"\"found\":false", "\"bus_mv\":null"}, 255},
    {"BatteryMissing", {"battery"}, ok({BATTERY_NA}), {"{\"battery_pct\":null}"}},
};

class JsonNullTest : public ClientTest, public testing::WithParamInterface<NullCase> {};

TEST_P(JsonNullTest, MissingValuesAreNull)
{
    const NullCase &c = GetParam();
    fake_ctl_server daemon(socket_path());
    ASSERT_TRUE(daemon.listening());
    daemon.answer(c.reply);
    std::vector<std::string> args = {"--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome run = run_client(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    for (const char *member : c.members)
        EXPECT_NE(run.out.find(member), std::string::npos) << member << " in " << run.out;
}

INSTANTIATE_TEST_SUITE_P(Records, JsonNullTest, testing::ValuesIn(null_cases),
                         [](const testing::TestParamInfo<NullCase> &param) { return param.param.name; });

// ---- Escaping: the output is valid JSON whatever bytes arrive ----

struct EscapeCase {
    const char *name;
    std::string in;
    const char *out;
};

const EscapeCase escape_cases[] = {
    {"Plain", "CHINA MOBILE", "\"CHINA MOBILE\""},
    {"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
    {"ShortEscapes", "\n\r\t", "\"\\n\\r\\t\""},
    {"OtherControls", std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""},
    {"StopsAtNul", std::string("ab\0cd", 5), "\"ab\""},
    {"ValidUtf8Kept", "45\xc2\xb0" "C \xe5\xa4\x96 \xf0\x9f\x93\xb6", "\"45\xc2\xb0" "C \xe5\xa4\x96 \xf0\x9f\x93\xb6\""},
    {"StrayByte", "a\xff" "b", "\"a\\ufffdb\""},
    {"TruncatedSequence", "\xe2\x82", "\"\\ufffd\\ufffd\""},
    {"Overlong", "\xc0\xaf", "\"\\ufffd\\ufffd\""},
    {"Surrogate", "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    {"BeyondUnicode", "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
    {"ContinuationAlone", "\x80", "\"\\ufffd\""},
};

class JsonEscapeTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscapeTest, WritesValidString)
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    json_write_string(out, GetParam().in.data(), GetParam().in.size());
    std::fclose(out);
    EXPECT_EQ(std::string(text, size), GetParam().out);
    std::free(text);
}

INSTANTIATE_TEST_SUITE_P(Bytes, JsonEscapeTest, testing::ValuesIn(escape_cases),
                         [](const testing::TestParamInfo<EscapeCase> &param) { return param.param.name; });

// ---- Options ----

struct OptionCase {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *out;  // nullptr: not checked
};

const OptionCase option_cases[] = {
    {"Version", {"--version"}, 0, "tesmar_gpioctl 1.5.0\n"},
    {"ShortVersion", {"-V"}, 0, "tesmar_gpioctl 1.5.0\n"},
    {"TimeoutWithoutValue", {"--timeout"}, 1, ""},
    {"TimeoutNotANumber", {"--timeout", "soon", "link"}, 1, ""},
    {"TimeoutNegative", {"--timeout", "-1", "link"}, 1, ""},
    {"JsonWithoutCommand", {"--json"}, 1, nullptr},
    {"JsonOfAnAction", {"--json", "led", "sys", "on"}, 1, ""},
};

class OptionTest : public ClientTest, public testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, ExitsWithoutAsking)
{
    fake_ctl_server daemon(socket_path());
    ASSERT_TRUE(daemon.listening());
    daemon.answer(ok());
    Outcome run = run_client(GetParam().args);
    EXPECT_EQ(run.status, GetParam().status);
    if (GetParam().out != nullptr) {
        EXPECT_EQ(run.out, GetParam().out);
    }
    EXPECT_TRUE(daemon.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Words, OptionTest, testing::ValuesIn(option_cases),
                         [](const testing::TestParamInfo<OptionCase> &param) { return param.param.name; });

// A daemon that accepts (the kernel does, from the backlog) but never answers.
TEST_F(ClientTest, SilentDaemonTimesOut)
{
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = unix_address(socket_path());
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    // One line says it all, the time-out as it was written; nothing claims a reply came.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--timeout", "0.3", "4g", "status"}, {"--timeout=0.3", "--json", "link"},
          {"--timeout", "0.3", "4g", "info"}, {"--timeout", "0.3", "sysinfo"}, {"--timeout", "0.3", "version"},
          {"--timeout", "0.3", "sdcard", "status"}, {"--timeout", "0.3", "sdcard", "state"},
          {"--timeout", "0.3", "ina"}, {"--timeout", "0.3", "--json", "status"}, {"--timeout", "0.3", "status"},
          {"--timeout", "0.3", "sdcard", "remove"}}) {
        const auto start = std::chrono::steady_clock::now();
        Outcome run = run_client(args);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(run.status, 255) << args.back();
        EXPECT_EQ(run.err, "No answer from daemon within 0.3 s\n") << args.back();
        EXPECT_TRUE(run.out == "" || run.out == "Ejecting SD card...\n") << run.out;
        EXPECT_GE(took, std::chrono::milliseconds(250));
        EXPECT_LT(took, std::chrono::seconds(3));
    }
    close(listener);
}

}  // namespace
