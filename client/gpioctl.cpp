#include "gpioctl.h"

#include "board_facts.h"
#include "command_words.h"
#include "ctl_client.h"
#include "ctl_protocol.h"
#include "json.h"
#include "link_view.h"
#include "metrics.h"
#include "reports.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

namespace {

// The LED lists of the messages, from the board's table.
constexpr auto led_usage_line =
    text_concat("  led <id> on|off|blink     Control LED (id: ", led_ids_joined("/").chars, ")");
constexpr auto valid_led_ids_line = text_concat("Valid IDs: ", led_ids_joined(", ").chars);

// Positions are the power-source codes of CMD_POWER_STATUS.
const char *const power_source_names[] = {"none", "external", "internal", "both", "unknown"};

// The words after the program name; word(1) is the command word, nullptr past the end.
struct command_line {
    const char *program;
    std::span<char *const> words;

    const char *word(std::size_t n) const { return n - 1 < words.size() ? words[n - 1] : nullptr; }
    bool word_is(std::size_t n, std::string_view text) const
    {
        const char *w = word(n);
        return w != nullptr && text == w;
    }
};

const char *on_off(std::uint8_t value) { return value != 0 ? "ON" : "OFF"; }
const char *high_low(std::uint8_t value) { return value != 0 ? "HIGH" : "LOW"; }

// The answer handling shared by the short commands: the exit status when the command ends
// here (the exchange failed, or the daemon's error status has been printed), or nothing
// when REPLY holds an answer to print. A daemon error is a failure of the command, so a
// script switching the 12 V output or the rtty service learns that it did not happen.
std::optional<int> ask(std::uint8_t cmd, ControlReply &reply, std::uint8_t index = 0, std::uint16_t param = 0)
{
    if (send_command(make_request(cmd, index, param), reply) != 0)
        return -1;
    if (reply.status != STATUS_OK) {
        printf("Error: %d\n", reply.status);
        return -1;
    }
    return std::nullopt;
}

void print_usage(const char *program)
{
    static const char *const command_lines[] = {
        "Commands:",
        "  status                    Show all status",
        "  version                   Show daemon version",
        "  sysinfo                   Show system info (CPU/mem/disk/network)",
        led_usage_line.chars,
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
        "\nOptions (before the command):",
        "  --json                    Print a report or query as one JSON object",
        "  --timeout=SECONDS         Give up on the daemon after SECONDS (0: never)",
        "  --version, -V             Show this program's version",
        "\nExamples:",
    };
    printf("TesMar GPIO Control Tool\n\n");
    printf("Usage: %s <command> [args]\n\n", program);
    for (const char *line : command_lines)
        puts(line);
    for (const char *example : {"status", "led sys on", "led wifi blink", "beep once 200", "power 12v on"})
        printf("  %s %s\n", program, example);
}

int cmd_status(const command_line &) { return report_status(); }
int cmd_sysinfo(const command_line &) { return report_sysinfo(); }
int cmd_sdcard(const command_line &line)
{
    if (line.word_is(2, "state"))
        return view_sdcard_state();
    return report_sdcard(line.program, line.word(2));
}
int cmd_link(const command_line &) { return view_link(); }
int cmd_monitor(const command_line &) { return view_monitor(false); }
int cmd_metrics(const command_line &line)
{
    const char *flag = line.word(2);
    if (flag != nullptr && !line.word_is(2, "--modem")) {
        printf("Usage: %s metrics [--modem]\n", line.program);
        return -1;
    }
    return print_metrics(flag != nullptr);
}

int cmd_version(const command_line &)
{
    char text[VERSION_RECEIVE_SIZE + 1];
    ssize_t got = fetch_version(text);
    if (got < 0)
        return -1;
    fputs("tesmar_gpio ", stdout);
    text_write_safe(stdout, text, static_cast<std::size_t>(got));
    putchar('\n');
    return 0;
}

struct word_code {
    const char *word;
    std::uint8_t cmd;
};

// The command code a word stands for; 0 (no command) when it is none of TABLE's words.
std::uint8_t code_of(std::span<const word_code> table, const char *word)
{
    for (const word_code &entry : table) {
        if (std::string_view(entry.word) == word)
            return entry.cmd;
    }
    return 0;
}

// Each command's action words, checked against the command table.
constexpr word_code led_actions[] = {{"on", CMD_LED_ON}, {"off", CMD_LED_OFF}, {"blink", CMD_LED_BLINK}};
static_assert(words_are(grammar_of("led").third, led_actions));
constexpr word_code beep_actions[] = {
    {"on", CMD_BEEP_ON}, {"off", CMD_BEEP_OFF}, {"once", CMD_BEEP_ONCE}, {"alarm", CMD_BEEP_ALARM}};
static_assert(words_are(grammar_of("beep").second, beep_actions));
constexpr word_code power_12v_actions[] = {{"on", CMD_12V_ON}, {"off", CMD_12V_OFF}};
// "power status" and "power 12v on|off".
static_assert(words_are(grammar_of("power").third, power_12v_actions) &&
              same_text(grammar_of("power").third_after, "12v") && count_words(grammar_of("power").second) == 2 &&
              lists_word(grammar_of("power").second, "status") && lists_word(grammar_of("power").second, "12v"));
constexpr word_code input_words[] = {
    {"4g", CMD_INPUT_4G}, {"wifi", CMD_INPUT_WIFI}, {"valid1", CMD_INPUT_VALID1}, {"valid2", CMD_INPUT_VALID2}};
static_assert(words_are(grammar_of("input").second, input_words));
constexpr word_code rtty_actions[] = {{"on", CMD_RTTY_ON}, {"off", CMD_RTTY_OFF}, {"status", CMD_RTTY_STATUS}};
static_assert(words_are(grammar_of("rtty").second, rtty_actions));

int cmd_led(const command_line &line)
{
    const char *id = line.word(2);
    const char *action = line.word(3);
    if (id == nullptr) {
        printf("Usage: %s led <id> on|off|blink [freq]\n", line.program);
        return -1;
    }
    std::uint8_t index = 0;
    while (index < BOARD_LED_COUNT && std::string_view(BOARD_LEDS[index].id) != id)
        index++;
    if (index == BOARD_LED_COUNT) {
        printf("Invalid LED id: %s\n", id);
        puts(valid_led_ids_line.chars);
        return -1;
    }
    // An id without an action asks for nothing; say what is missing.
    if (action == nullptr) {
        printf("Usage: %s led <id> on|off|blink [freq]\n", line.program);
        return -1;
    }
    std::uint8_t cmd = code_of(led_actions, action);
    if (cmd == 0) {
        printf("Invalid action: %s\n", action);
        return -1;
    }
    std::uint16_t freq = 0;
    if (cmd == CMD_LED_BLINK)
        freq = line.word(4) != nullptr ? parse_number(line.word(4)) : 1;

    ControlReply reply;
    if (auto finished = ask(cmd, reply, index, freq))
        return *finished;
    printf("LED %s: %s\n", BOARD_LEDS[index].id, action);
    return 0;
}

int cmd_beep(const command_line &line)
{
    const char *action = line.word(2);
    if (action == nullptr) {
        printf("Usage: %s beep on|off|once [ms]\n", line.program);
        return -1;
    }
    std::uint8_t cmd = code_of(beep_actions, action);
    if (cmd == 0) {
        printf("Invalid action: %s\n", action);
        return -1;
    }
    std::uint16_t duration_ms = 0;
    if (cmd == CMD_BEEP_ONCE) {
        duration_ms = 100;
        // A duration cut to 16 bits or read from a non-number would sound some other
        // length than the one asked for (-5 would beep for a minute): refuse it.
        if (line.word(3) != nullptr && !parse_duration(line.word(3), duration_ms)) {
            printf("Usage: %s beep on|off|once [ms]\n", line.program);
            return -1;
        }
    }

    ControlReply reply;
    if (auto finished = ask(cmd, reply, 0, duration_ms))
        return *finished;
    printf("Beep: %s\n", action);
    return 0;
}

int cmd_power(const command_line &line)
{
    const char *what = line.word(2);
    if (what == nullptr) {
        printf("Usage: %s power status|12v on|off\n", line.program);
        return -1;
    }
    ControlReply reply;
    if (line.word_is(2, "status")) {
        if (auto finished = ask(CMD_POWER_STATUS, reply))
            return *finished;
        // A code this client does not know is shown as unknown, never read past the table.
        std::uint8_t code = reply.data[0];
        printf("Power status: %s\n", power_source_names[code < std::size(power_source_names) ? code : 4]);
        return 0;
    }
    if (!line.word_is(2, "12v")) {
        printf("Invalid command: %s\n", what);
        return -1;
    }

    const char *action = line.word(3);
    if (action == nullptr) {
        printf("Usage: %s power 12v on|off\n", line.program);
        return -1;
    }
    std::uint8_t cmd = code_of(power_12v_actions, action);
    if (cmd == 0) {
        printf("Invalid action: %s\n", action);
        return -1;
    }
    if (auto finished = ask(cmd, reply))
        return *finished;
    printf("12V output: %s\n", action);
    return 0;
}

int cmd_input(const command_line &line)
{
    ControlReply reply;
    const char *which = line.word(2);
    if (which == nullptr) {
        if (auto finished = ask(CMD_INPUT_ALL, reply))
            return *finished;
        printf("4G:     %s\n", high_low(reply.data[0]));
        printf("VALID1: %s (外接电源)\n", high_low(reply.data[1]));
        printf("VALID2: %s (内接电源)\n", high_low(reply.data[2]));
        printf("WIFI:   %s\n", high_low(reply.data[3]));
        return 0;
    }
    std::uint8_t cmd = code_of(input_words, which);
    if (cmd == 0) {
        printf("Invalid input: %s\n", which);
        return -1;
    }
    if (auto finished = ask(cmd, reply))
        return *finished;
    printf("%s: %s\n", which, high_low(reply.data[0]));
    return 0;
}

// The 4g and wifi switches: toggle or query, then one ON/OFF line in the action's format.
struct switch_action {
    const char *word;
    std::uint8_t cmd;
    const char *format;
    std::uint16_t param = 0;
};

int switch_command(const command_line &line, const char *usage, std::span<const switch_action> actions,
                   const char *invalid)
{
    const char *word = line.word(2);
    if (word == nullptr) {
        printf(usage, line.program);
        return -1;
    }
    for (const switch_action &action : actions) {
        if (line.word_is(2, action.word)) {
            ControlReply reply;
            if (auto finished = ask(action.cmd, reply, 0, action.param))
                return *finished;
            printf(action.format, on_off(reply.data[0]));
            // A set reports in byte 2 whether it changed the switch.
            const bool unchanged = (action.cmd == CMD_4G_SET || action.cmd == CMD_WIFI_SET) && reply.data[1] == 0;
            puts(unchanged ? " (already set, unchanged)" : "");
            return 0;
        }
    }
    printf(invalid, word);
    return -1;
}

// The formats leave the line open for the note of a set that changed nothing.
constexpr switch_action switch_4g_actions[] = {{"toggle", CMD_4G_TOGGLE, "4G: %s"},
                                               {"status", CMD_4G_STATUS, "4G switch: %s"},
                                               {"on", CMD_4G_SET, "4G: %s", 1},
                                               {"off", CMD_4G_SET, "4G: %s", 0}};
static_assert(words_are(grammar_of("4g").second, switch_4g_actions, {"info"}));
constexpr switch_action switch_wifi_actions[] = {{"toggle", CMD_WIFI_TOGGLE, "WiFi: %s"},
                                                 {"status", CMD_WIFI_STATUS, "WiFi switch: %s"},
                                                 {"on", CMD_WIFI_SET, "WiFi: %s", 1},
                                                 {"off", CMD_WIFI_SET, "WiFi: %s", 0}};
static_assert(words_are(grammar_of("wifi").second, switch_wifi_actions));

int cmd_4g(const command_line &line)
{
    if (line.word_is(2, "info"))
        return report_4g_info();
    return switch_command(line, "Usage: %s 4g toggle|status|info|on|off\n", switch_4g_actions,
                          "Invalid action: %s (use toggle, status, info, on, or off)\n");
}

int cmd_wifi(const command_line &line)
{
    return switch_command(line, "Usage: %s wifi toggle|status|on|off\n", switch_wifi_actions,
                          "Invalid action: %s (use toggle, status, on, or off)\n");
}

int cmd_rtty(const command_line &line)
{
    const char *action = line.word(2);
    if (action == nullptr) {
        printf("Usage: %s rtty on|off|status\n", line.program);
        return -1;
    }
    std::uint8_t cmd = code_of(rtty_actions, action);
    if (cmd == 0) {
        printf("Invalid action: %s (use on, off, or status)\n", action);
        return -1;
    }
    ControlReply reply;
    if (auto finished = ask(cmd, reply))
        return *finished;
    if (cmd == CMD_RTTY_ON)
        puts("rtty: enabled");
    else if (cmd == CMD_RTTY_OFF)
        puts("rtty: disabled");
    else
        printf("rtty: %s\n", reply.data[0] != 0 ? "active" : "inactive");
    return 0;
}

// Unlike the other short commands, a daemon error ends this one silently with 255.
int cmd_battery(const command_line &)
{
    ControlReply reply;
    if (send_command(make_request(CMD_BATTERY), reply) != 0 || reply.status != STATUS_OK)
        return -1;
    if (reply.data[0] == BATTERY_NA)
        puts("Battery: N/A");
    else
        printf("Battery: %u%%\n", static_cast<unsigned>(reply.data[0]));
    return 0;
}

int cmd_ina(const command_line &)
{
    ControlReply reply;
    if (send_command(make_request(CMD_INA236), reply) != 0) {
        if (!ctl_timed_out())
            puts("INA236: daemon not reachable");
        return -1;
    }
    if (reply.status != STATUS_OK) {
        puts("INA236: not found");
        return -1;
    }
    Ina236Reply ina;
    static_assert(sizeof ina == sizeof reply);
    std::memcpy(&ina, &reply, sizeof ina);
    int current_ma = ina.current_ma;  // signed: the current flows both ways
    std::uint32_t power_uw = ina.power_uw;
    puts("=== INA236 Power Monitor ===");
    printf("Bus Voltage: %.3f V\n", ina.bus_mv / 1000.0);
    printf("Current:     %d mA  (%.3f A)\n", current_ma, current_ma / 1000.0);
    printf("Power:       %u mW  (%.3f W)\n", static_cast<unsigned>(power_uw / 1000), power_uw / 1000000.0);
    return 0;
}

struct command {
    const char *word;
    int (*run)(const command_line &);
};

// Compared in this order, exactly and case-sensitively.
constexpr command commands[] = {
    {"status", cmd_status}, {"version", cmd_version}, {"sysinfo", cmd_sysinfo}, {"led", cmd_led},
    {"beep", cmd_beep},     {"power", cmd_power},     {"input", cmd_input},     {"4g", cmd_4g},
    {"wifi", cmd_wifi},     {"rtty", cmd_rtty},       {"ina", cmd_ina},         {"sdcard", cmd_sdcard},
    {"battery", cmd_battery}, {"link", cmd_link},   {"monitor", cmd_monitor}, {"metrics", cmd_metrics},
};

constexpr bool commands_follow_the_table()
{
    if (std::size(commands) != std::size(COMMAND_WORDS))
        return false;
    for (std::size_t i = 0; i < std::size(commands); i++) {
        if (!same_text(commands[i].word, COMMAND_WORDS[i].word))
            return false;
    }
    return true;
}
static_assert(commands_follow_the_table());

}  // namespace

std::uint16_t parse_number(const char *word)
{
    while (std::isspace(static_cast<unsigned char>(*word)))
        word++;
    bool negative = *word == '-';
    if (*word == '-' || *word == '+')
        word++;
    // Arithmetic modulo 2^16 keeps exactly the low 16 bits of a number of any length.
    std::uint16_t value = 0;
    for (; *word >= '0' && *word <= '9'; word++)
        value = static_cast<std::uint16_t>(value * 10 + (*word - '0'));
    return negative ? static_cast<std::uint16_t>(-value) : value;
}

bool parse_duration(const char *word, std::uint16_t &value)
{
    unsigned long number = 0;
    if (*word == '\0')
        return false;
    for (; *word != '\0'; word++) {
        if (*word < '0' || *word > '9')
            return false;
        number = number * 10 + static_cast<unsigned long>(*word - '0');
        if (number > UINT16_MAX)
            return false;
    }
    value = static_cast<std::uint16_t>(number);
    return true;
}

namespace {

// The options before the command word: --json, --timeout SECONDS (or --timeout=SECONDS),
// --version/-V, and "--" to end them. A word of two dashes that is none of them is an
// unknown option; one dash is a command word, as -h is and -hx is not. Returns the number
// of words they took, or -1 after a message on standard error when one is wrong.
int take_options(const char *program, std::span<char *const> words, bool &json, bool &version)
{
    std::size_t at = 0;
    while (at < words.size()) {
        std::string_view word = words[at];
        if (word == "--") {
            at++;
            break;
        }
        if (word == "--json") {
            json = true;
        } else if (word == "--version" || word == "-V") {
            version = true;
        } else if (word == "--timeout" || word.starts_with("--timeout=")) {
            const char *value = nullptr;
            if (word != "--timeout")
                value = words[at] + std::strlen("--timeout=");
            else if (++at < words.size())
                value = words[at];
            long milliseconds = 0;
            if (value == nullptr || !parse_timeout(value, milliseconds)) {
                fprintf(stderr, "%s: --timeout needs a decimal number of seconds from 0 to 86400, not '%s'\n",
                        program, value != nullptr ? value : "");
                return -1;
            }
            ctl_set_timeout_ms(milliseconds, value);
        } else if (word.starts_with("--") && word != "--help") {
            fprintf(stderr, "%s: unknown option '%s'\nTry '%s --help' for more information.\n", program,
                    words[at], program);
            return -1;
        } else {
            break;
        }
        at++;
    }
    return static_cast<int>(at);
}

}  // namespace

int gpioctl_main(int argc, char **argv)
{
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "tesmar_gpioctl";
    std::span<char *const> words(argv + (argc > 0 ? 1 : 0), argc > 1 ? argc - 1 : 0);
    bool json = false;
    bool version = false;
    ctl_set_timeout_ms(CTL_DEFAULT_TIMEOUT_MS);
    int taken = take_options(program, words, json, version);
    if (taken < 0)
        return 1;
    if (version) {
        printf("tesmar_gpioctl %s\n", VERSION_NUMBER);
        return 0;
    }
    command_line line{program, words.subspan(static_cast<std::size_t>(taken))};
    const char *word = line.word(1);
    if (word == nullptr) {
        print_usage(line.program);
        return 1;
    }
    if (line.word_is(1, "-h") || line.word_is(1, "--help")) {
        print_usage(line.program);
        return 0;
    }
    if (json)
        return view_json(line.program, word, line.word(2));
    for (const command &c : commands) {
        if (line.word_is(1, c.word))
            return c.run(line);
    }
    printf("Unknown command: %s\n", word);
    print_usage(line.program);
    return 1;
}
