#include "link_view.h"

#include "ctl_client.h"
#include "json.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

const char *const led_ids[] = {"sys", "ext_pwr", "storage", "data", "wifi", "4g", "net"};
const char *const led_mode_names[] = {"off", "on", "blink_slow", "blink_fast", "blink_custom"};
const char *const power_source_names[] = {"none", "external", "internal", "both", "unknown"};
const char *const route_names[] = {"end1", "end2", "wlan0", "wwan"};
// Reply byte order of CMD_INPUT_ALL.
const char *const input_names[] = {"4g", "valid1", "valid2", "wifi"};

const char *name_in(const char *const *names, std::size_t count, std::uint8_t code)
{
    return code < count ? names[code] : "unknown";
}

// A short reply that came back with STATUS_OK; false after a message otherwise.
bool ask_ok(std::uint8_t cmd, ControlReply &reply, std::uint8_t index = 0)
{
    if (send_command(make_request(cmd, index), reply) != 0)
        return false;
    if (reply.status != STATUS_OK) {
        printf("Error: %d\n", reply.status);
        return false;
    }
    return true;
}

// The record of CMD, refused after a message when its version is not VERSION ("... version
// mismatch" on standard error) or its status is not 0 ("Error: N" on standard output).
template <typename Record>
bool fetch_checked(std::uint8_t cmd, Record &r, std::uint8_t version, const char *what)
{
    if (!ctl_fetch(cmd, &r, sizeof r))
        return false;
    if (r.version != version) {
        fprintf(stderr, "%s version mismatch: got %u, expected %u\n", what, r.version, version);
        return false;
    }
    if (r.status != 0) {
        printf("Error: %d\n", r.status);
        return false;
    }
    return true;
}

const char *flag_name(std::uint8_t flag)
{
    return flag == FLAG_UNKNOWN ? "unknown" : flag != 0 ? "yes" : "no";
}

void flag_json(json_object &o, const char *key, std::uint8_t flag)
{
    if (flag == FLAG_UNKNOWN)
        o.null(key);
    else
        o.boolean(key, flag != 0);
}

// An IPv4 address (network byte order) as a member; null when the interface has none.
void address_json(json_object &o, const char *key, std::uint32_t address, std::uint32_t mask)
{
    if (address == 0) {
        o.null(key);
        return;
    }
    json_object entry(o, key);
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN];
    entry.string("address", inet_ntop(AF_INET, &in, text, sizeof text));
    std::uint32_t host = ntohl(mask);
    int bits = 0;
    while (bits < 32 && (host & (0x80000000u >> bits)) != 0)
        bits++;
    entry.number("prefix", bits);
}

void sysinfo_json(json_object &o, const SysInfoRecord &r)
{
    // The daemon reports 0 for a temperature it could not read.
    if (r.cpu_temp == 0)
        o.null("cpu_temp_c");
    else
        o.decimal("cpu_temp_c", r.cpu_temp / 10.0, 1);
    o.unsigned_number("mem_total_kib", r.mem_total_kib);
    o.unsigned_number("mem_avail_kib", r.mem_avail_kib);
    if (r.sd_total_kib == 0) {
        o.null("sd_total_kib");
        o.null("sd_free_kib");
    } else {
        o.unsigned_number("sd_total_kib", r.sd_total_kib);
        o.unsigned_number("sd_free_kib", r.sd_free_kib);
    }
    o.unsigned_number("uptime_s", r.uptime_s);
    o.decimal("load1", r.load1_x100 / 100.0, 2);
    o.decimal("load5", r.load5_x100 / 100.0, 2);
    o.decimal("load15", r.load15_x100 / 100.0, 2);
    {
        json_object net(o, "interfaces");
        address_json(net, "end1", r.end1_addr, r.end1_mask);
        address_json(net, "end2", r.end2_addr, r.end2_mask);
        address_json(net, "wlan0", r.wlan0_addr, r.wlan0_mask);
        address_json(net, "wwan", r.wwan_addr, r.wwan_mask);
    }
    if (r.default_route < std::size(route_names))
        o.string("default_route", route_names[r.default_route]);
    else
        o.null("default_route");
    if (r.battery_pct == BATTERY_NA)
        o.null("battery_pct");
    else
        o.unsigned_number("battery_pct", r.battery_pct);
}

void ina_json(json_object &o, const ControlReply &reply)
{
    Ina236Reply ina;
    std::memcpy(&ina, &reply, sizeof ina);
    const bool found = reply.status == STATUS_OK;
    o.boolean("found", found);
    if (!found) {
        o.null("bus_mv");
        o.null("current_ma");
        o.null("power_uw");
        return;
    }
    std::int16_t current_ma = ina.current_ma;  // signed: the current flows both ways
    o.unsigned_number("bus_mv", ina.bus_mv);
    o.number("current_ma", current_ma);
    o.unsigned_number("power_uw", ina.power_uw);
}

void link_json(json_object &o, const LinkStateRecord &r)
{
    {
        json_object g(o, "4g");
        g.boolean("switch", r.switch_4g != 0);
        g.string("state", link_state_name(r.state_4g, true));
        g.unsigned_number("attempts", r.attempts_4g);
        g.boolean("iface_up", r.iface_4g_up != 0);
        if (r.dialer_pid > 0)
            g.number("dialer_pid", r.dialer_pid);
        else
            g.null("dialer_pid");
    }
    json_object w(o, "wifi");
    w.boolean("switch", r.switch_wifi != 0);
    w.string("state", link_state_name(r.state_wifi, false));
    w.unsigned_number("attempts", r.attempts_wifi);
}

void sdcard_state_json(json_object &o, const SdCardStateRecord &r)
{
    o.string("recovery_state", sdcard_state_name(r.recovery_state));
    flag_json(o, "eject_hold", r.eject_hold);
    o.boolean("mounted", r.mounted != 0);
    o.text_or_null("mount_point", r.mount_point, sizeof r.mount_point);
}

int json_status()
{
    ControlReply all;
    if (!ask_ok(CMD_STATUS_ALL, all))
        return -1;
    // Everything is asked first, so a time-out ends the run before the object is begun,
    // and no request after it waits out the time-out again.
    ControlReply ina, switches[2], leds[std::size(led_ids)];
    const bool have_ina = send_command(make_request(CMD_INA236), ina) == 0;
    const std::uint8_t switch_codes[] = {CMD_4G_STATUS, CMD_WIFI_STATUS};
    bool have_switch[2] = {};
    for (std::size_t i = 0; i < 2 && !ctl_timed_out(); i++)
        have_switch[i] = send_command(make_request(switch_codes[i]), switches[i]) == 0 && switches[i].status == STATUS_OK;
    bool have_led[std::size(led_ids)] = {};
    for (std::uint8_t index = 0; index < std::size(led_ids) && !ctl_timed_out(); index++)
        have_led[index] = send_command(make_request(CMD_LED_GET, index), leds[index]) == 0 && leds[index].status == STATUS_OK;
    SysInfoRecord system;
    bool have_system = false;
    if (!ctl_timed_out()) {
        int fd = connect_and_send(make_request(CMD_SYSINFO));
        have_system = fd >= 0 && receive_once(fd, &system, sizeof system) == static_cast<ssize_t>(sizeof system) &&
                      system.version == SYSINFO_VERSION && system.status == 0;
    }
    if (ctl_timed_out())
        return -1;

    json_object o(stdout);
    o.string("power_source", name_in(power_source_names, std::size(power_source_names), all.data[0]));
    o.boolean("valid1", all.data[3] != 0);
    o.boolean("valid2", all.data[4] != 0);
    o.boolean("out_12v", all.data[1] != 0);
    if (have_ina) {
        json_object entry(o, "ina236");
        ina_json(entry, ina);
    } else {
        o.null("ina236");
    }
    const char *const switch_keys[] = {"4g", "wifi"};
    const std::uint8_t pins[] = {all.data[2], all.data[5]};
    for (std::size_t i = 0; i < 2; i++) {
        json_object link(o, switch_keys[i]);
        if (have_switch[i])
            link.boolean("switch", switches[i].data[0] != 0);
        else
            link.null("switch");
        link.boolean("pin", pins[i] != 0);
    }
    {
        json_object entry(o, "leds");
        for (std::uint8_t index = 0; index < std::size(led_ids); index++) {
            if (have_led[index])
                entry.string(led_ids[index], name_in(led_mode_names, std::size(led_mode_names), leds[index].data[0]));
            else
                entry.null(led_ids[index]);
        }
    }
    if (have_system) {
        json_object entry(o, "system");
        sysinfo_json(entry, system);
    } else {
        o.null("system");
    }
    return 0;
}

int json_modem()
{
    ModemInfoRecord r;
    if (!ctl_fetch(CMD_4G_INFO, &r, sizeof r))
        return -1;
    json_object o(stdout);
    const bool available = r.status == 0;
    o.boolean("available", available);
    // Every field keeps its initial value when the modem did not answer that query.
    const bool cell = available && r.mcc != 0;
    auto byte_or_null = [&](const char *key, bool known, unsigned value) {
        if (known)
            o.unsigned_number(key, value);
        else
            o.null(key);
    };
    if (available) {
        o.text_or_null("iccid", r.iccid, sizeof r.iccid);
        o.text_or_null("imsi", r.imsi, sizeof r.imsi);
        o.text_or_null("operator", r.operator_name, sizeof r.operator_name);
    } else {
        o.null("iccid");
        o.null("imsi");
        o.null("operator");
    }
    byte_or_null("access_tech", available, r.access_tech);
    byte_or_null("reg_status", available, r.reg_status);
    byte_or_null("rssi", available && r.rssi != MODEM_NO_VALUE, r.rssi);
    if (available && r.rssi != MODEM_NO_VALUE)
        o.number("rssi_dbm", r.rssi * 2 - 113);
    else
        o.null("rssi_dbm");
    byte_or_null("ber", available && r.ber != MODEM_NO_VALUE, r.ber);
    byte_or_null("mcc", cell, r.mcc);
    byte_or_null("mnc", cell, r.mnc);
    byte_or_null("band", available && r.band != 0, r.band);
    byte_or_null("cell_id", cell, r.cell_id);
    byte_or_null("pci", cell, r.pci);
    byte_or_null("tac", cell, r.tac);
    // The serving-cell answer gives all of these or none (MCC 0): a 0 in it is measured.
    std::int16_t rsrp = r.rsrp, rsrq = r.rsrq;
    if (cell)
        o.number("rsrp_dbm", rsrp);
    else
        o.null("rsrp_dbm");
    if (cell)
        o.number("rsrq_db", rsrq);
    else
        o.null("rsrq_db");
    if (available)
        o.boolean("connected", r.connected != 0);
    else
        o.null("connected");
    return 0;
}

int json_sdcard_status()
{
    SdCardStatusRecord r;
    if (!ctl_fetch(CMD_SDCARD_STATUS, &r, sizeof r))
        return -1;
    json_object o(stdout);
    const bool inserted = r.status == 0;
    o.boolean("mounted", inserted);
    if (!inserted) {
        for (const char *key : {"partitions", "total_kib", "free_kib", "mounts", "process_count", "processes"})
            o.null(key);
        return 0;
    }
    o.unsigned_number("partitions", r.partitions);
    if (r.total_kib == 0) {
        o.null("total_kib");
        o.null("free_kib");
    } else {
        o.unsigned_number("total_kib", r.total_kib);
        o.unsigned_number("free_kib", r.free_kib);
    }
    o.text_or_null("mounts", r.mounts, sizeof r.mounts);
    o.unsigned_number("process_count", r.process_count);
    o.text_or_null("processes", r.processes, sizeof r.processes);
    return 0;
}

int json_version()
{
    char text[VERSION_RECEIVE_SIZE + 1];
    ssize_t got = fetch_version(text);
    if (got < 0)
        return -1;
    json_object o(stdout);
    o.string("daemon", text, static_cast<std::size_t>(got));
    o.string("client", VERSION_NUMBER);
    return 0;
}

int json_input(const char *which)
{
    ControlReply reply;
    if (which == nullptr) {
        if (!ask_ok(CMD_INPUT_ALL, reply))
            return -1;
        json_object o(stdout);
        for (std::size_t i = 0; i < std::size(input_names); i++)
            o.boolean(input_names[i], reply.data[i] != 0);
        return 0;
    }
    const std::uint8_t codes[] = {CMD_INPUT_4G, CMD_INPUT_VALID1, CMD_INPUT_VALID2, CMD_INPUT_WIFI};
    for (std::size_t i = 0; i < std::size(input_names); i++) {
        if (std::strcmp(which, input_names[i]) != 0)
            continue;
        if (!ask_ok(codes[i], reply))
            return -1;
        json_object o(stdout);
        o.boolean(input_names[i], reply.data[0] != 0);
        return 0;
    }
    printf("Invalid input: %s\n", which);
    return -1;
}

// The watched values of one look at the daemon (the polling form, for a daemon without
// the watch stream).
struct watched {
    std::uint8_t inputs[4];
    LinkStateRecord link;
    SdCardStateRecord card;
};

bool look(int fd, watched &w)
{
    ControlReply inputs;
    if (!ctl_exchange(fd, make_request(CMD_INPUT_ALL), &inputs, sizeof inputs) || inputs.status != STATUS_OK ||
        !ctl_exchange(fd, make_request(CMD_LINK_STATE), &w.link, sizeof w.link) ||
        !ctl_exchange(fd, make_request(CMD_SDCARD_STATE), &w.card, sizeof w.card))
        return false;
    std::memcpy(w.inputs, inputs.data, sizeof w.inputs);
    return true;
}

// UTC with milliseconds, ISO 8601: one clock for every line, comparable across boards.
void timestamp(char (&out)[48])
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char base[24];
    strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(out, sizeof out, "%s.%03dZ", base, static_cast<int>(now.tv_nsec / 1000000) % 1000);
}

// One value as the monitor shows it: the word of its line, and its JSON form (a level or
// switch as a boolean, a missing mount point as null, anything else as the word).
struct shown {
    enum form { word, boolean, none } json = word;
    char text[sizeof(SdCardStateRecord::mount_point) + 1] = "";
};

shown shown_word(const char *text, shown::form json = shown::word)
{
    shown v;
    v.json = json;
    snprintf(v.text, sizeof v.text, "%s", text);
    return v;
}

shown shown_level(int level) { return shown_word(level != 0 ? "HIGH" : "LOW", shown::boolean); }
shown shown_switch(int on) { return shown_word(on != 0 ? "ON" : "OFF", shown::boolean); }
shown shown_mount(const char *field, std::size_t size)
{
    const int length = static_cast<int>(strnlen(field, size));
    if (length == 0)
        return shown_word("none", shown::none);
    shown v;
    snprintf(v.text, sizeof v.text, "%.*s", length, field);
    return v;
}

void value_json(json_object &o, const char *key, const shown &v)
{
    if (v.json == shown::boolean)
        o.boolean(key, std::strcmp(v.text, "HIGH") == 0 || std::strcmp(v.text, "ON") == 0);
    else if (v.json == shown::none)
        o.null(key);
    else
        o.string(key, v.text);
}

void emit(bool json, const char *what, const char *name, const shown &value, const shown *previous)
{
    char when[48];
    timestamp(when);
    if (json) {
        json_object o(stdout);
        o.string("time", when);
        o.string("event", what);
        o.string("name", name);
        value_json(o, "value", value);
        if (previous != nullptr)
            value_json(o, "previous", *previous);
        else
            o.null("previous");
    } else {
        printf("%s %s %s %s", when, what, name, value.text);
        if (previous != nullptr)
            printf(" (was %s)", previous->text);
        putchar('\n');
    }
    fflush(stdout);
}

// The watched items, in the order of their lines when the watch begins.
struct watched_item {
    const char *what;
    const char *name;
};
constexpr watched_item items[] = {
    {"input", "4g"},   {"input", "valid1"}, {"input", "valid2"}, {"input", "wifi"},  {"switch", "4g"},
    {"switch", "wifi"}, {"link", "4g"},     {"link", "wifi"},    {"sdcard", "state"}, {"sdcard", "mount"},
};
constexpr std::size_t ITEM_SWITCH = 4, ITEM_LINK = 6, ITEM_CARD_STATE = 8, ITEM_CARD_MOUNT = 9;

// What the monitor has shown of each item; kept across reconnections, so a new connection
// prints only what changed meanwhile.
struct monitor_view {
    bool json = false;
    bool have[std::size(items)] = {};
    shown last[std::size(items)];

    void show(std::size_t item, const shown &now)
    {
        if (have[item] && std::strcmp(last[item].text, now.text) == 0)
            return;
        emit(json, items[item].what, items[item].name, now, have[item] ? &last[item] : nullptr);
        last[item] = now;
        have[item] = true;
    }

    void show_look(const watched &now)
    {
        for (std::size_t i = 0; i < std::size(input_names); i++)
            show(i, shown_level(now.inputs[i]));
        show(ITEM_SWITCH, shown_switch(now.link.switch_4g));
        show(ITEM_SWITCH + 1, shown_switch(now.link.switch_wifi));
        show(ITEM_LINK, shown_word(link_state_name(now.link.state_4g, true)));
        show(ITEM_LINK + 1, shown_word(link_state_name(now.link.state_wifi, false)));
        show(ITEM_CARD_STATE, shown_word(sdcard_state_name(now.card.recovery_state)));
        show(ITEM_CARD_MOUNT, shown_mount(now.card.mount_point, sizeof now.card.mount_point));
    }

    void show_record(const WatchRecord &r)
    {
        switch (r.kind) {
        case WATCH_INPUT:
            if (r.id < std::size(input_names))
                show(r.id, shown_level(r.value));
            break;
        case WATCH_SWITCH:
            if (r.id < 2)
                show(ITEM_SWITCH + r.id, shown_switch(r.value));
            break;
        case WATCH_LINK:
            if (r.id < 2)
                show(ITEM_LINK + r.id, shown_word(link_state_name(r.value, r.id == 0)));
            break;
        case WATCH_CARD_STATE:
            show(ITEM_CARD_STATE, shown_word(sdcard_state_name(r.value)));
            break;
        case WATCH_CARD_MOUNT:
            show(ITEM_CARD_MOUNT, shown_mount(r.mount_point, sizeof r.mount_point));
            break;
        case WATCH_LOST:
            // The values that follow are the current ones; the changes between were lost.
            emit(json, "monitor", "events", shown_word("lost"), nullptr);
            break;
        default:
            break;  // a kind added later
        }
    }
};

// One whole record of the stream, waiting as long as it takes; false at its end.
bool read_record(int fd, WatchRecord &r)
{
    auto *bytes = reinterpret_cast<char *>(&r);
    std::size_t got = 0;
    while (got < sizeof r) {
        ssize_t n = recv(fd, bytes + got, sizeof r - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

const char *link_state_name(std::uint8_t state, bool is_4g)
{
    switch (state) {
    case LINK_REPORT_OFF:
        return "off";
    case LINK_REPORT_STARTING:
        return is_4g ? "dialing" : "starting";
    case LINK_REPORT_UP:
        return "up";
    case LINK_REPORT_RECOVERING:
        return "recovering";
    case LINK_REPORT_FAILED:
        return "failed";
    default:
        return "unknown";
    }
}

const char *sdcard_state_name(std::uint8_t state)
{
    static const char *const names[] = {"mounted", "degraded", "unbound", "remounting"};
    return name_in(names, std::size(names), state);
}

int view_link()
{
    LinkStateRecord r;
    if (!fetch_checked(CMD_LINK_STATE, r, LINK_STATE_VERSION, "Link state"))
        return -1;
    printf("4G:    switch=%s  state=%s  attempts=%u  iface=%s  dialer=", r.switch_4g != 0 ? "ON" : "OFF",
           link_state_name(r.state_4g, true), r.attempts_4g, r.iface_4g_up != 0 ? "up" : "down");
    std::int32_t pid = r.dialer_pid;
    if (pid > 0)
        printf("%d\n", static_cast<int>(pid));
    else
        puts("none");
    printf("WiFi:  switch=%s  state=%s  attempts=%u\n", r.switch_wifi != 0 ? "ON" : "OFF",
           link_state_name(r.state_wifi, false), r.attempts_wifi);
    return 0;
}

int view_sdcard_state()
{
    SdCardStateRecord r;
    if (!fetch_checked(CMD_SDCARD_STATE, r, SDCARD_STATE_VERSION, "SD card state"))
        return -1;
    printf("Recovery:    %s\n", sdcard_state_name(r.recovery_state));
    if (r.mount_point[0] != '\0') {
        fputs("Mount point: ", stdout);
        text_write_safe(stdout, r.mount_point, sizeof r.mount_point);
        putchar('\n');
    } else
        puts("Mount point: (none)");
    printf("Eject hold:  %s\n", flag_name(r.eject_hold));
    return 0;
}

int view_json(const char *program, const char *word, const char *arg)
{
    auto is = [](const char *a, const char *b) { return a != nullptr && std::strcmp(a, b) == 0; };
    if (is(word, "status"))
        return json_status();
    if (is(word, "version"))
        return json_version();
    if (is(word, "input"))
        return json_input(arg);
    if (is(word, "4g") && is(arg, "info"))
        return json_modem();
    if (is(word, "sdcard") && is(arg, "status"))
        return json_sdcard_status();
    if (is(word, "monitor"))
        return view_monitor(true);

    ControlReply reply;
    if (is(word, "power") && is(arg, "status")) {
        if (!ask_ok(CMD_POWER_STATUS, reply))
            return -1;
        json_object o(stdout);
        o.string("power_source", name_in(power_source_names, std::size(power_source_names), reply.data[0]));
        return 0;
    }
    if (is(word, "battery")) {
        if (!ask_ok(CMD_BATTERY, reply))
            return -1;
        json_object o(stdout);
        if (reply.data[0] == BATTERY_NA)
            o.null("battery_pct");
        else
            o.unsigned_number("battery_pct", reply.data[0]);
        return 0;
    }
    if (is(word, "ina")) {
        if (send_command(make_request(CMD_INA236), reply) != 0)
            return -1;
        // STATUS_FAILED is this command's "no INA236": the object says so, and the run
        // fails as the text form's does. Any other status is the daemon's error.
        if (reply.status != STATUS_OK && reply.status != STATUS_FAILED) {
            printf("Error: %d\n", reply.status);
            return -1;
        }
        {
            json_object o(stdout);
            ina_json(o, reply);
        }
        return reply.status == STATUS_OK ? 0 : -1;
    }
    if (is(word, "sysinfo")) {
        SysInfoRecord r;
        if (!fetch_checked(CMD_SYSINFO, r, SYSINFO_VERSION, "Sysinfo"))
            return -1;
        json_object o(stdout);
        sysinfo_json(o, r);
        return 0;
    }
    if (is(word, "link")) {
        LinkStateRecord r;
        if (!fetch_checked(CMD_LINK_STATE, r, LINK_STATE_VERSION, "Link state"))
            return -1;
        json_object o(stdout);
        link_json(o, r);
        return 0;
    }
    if (is(word, "sdcard") && is(arg, "state")) {
        SdCardStateRecord r;
        if (!fetch_checked(CMD_SDCARD_STATE, r, SDCARD_STATE_VERSION, "SD card state"))
            return -1;
        json_object o(stdout);
        sdcard_state_json(o, r);
        return 0;
    }
    fprintf(stderr, "%s: --json is not available for this command\n", program);
    return 1;
}

int view_monitor(bool json)
{
    // Against a daemon without the watch stream: five looks a second catch a key press
    // (such a daemon samples its inputs every 100 ms) at three small requests per look.
    constexpr useconds_t look_interval_us = 200000;
    constexpr useconds_t reconnect_interval_us = 1000000;
    monitor_view view;
    view.json = json;
    bool reported_lost = false;
    for (;;) {
        int fd = ctl_connect();
        if (fd < 0) {
            if (!reported_lost)
                fprintf(stderr, "Failed to connect to daemon: %s (retrying)\n", CTL_SOCKET_PATH);
            reported_lost = true;
            usleep(reconnect_interval_us);
            continue;
        }
        ControlReply answer;
        if (ctl_exchange(fd, make_request(CMD_WATCH), &answer, sizeof answer)) {
            if (answer.status == STATUS_OK) {
                WatchRecord record;
                while (read_record(fd, record)) {
                    reported_lost = false;
                    view.show_record(record);
                }
            } else if (answer.status == STATUS_UNKNOWN_COMMAND) {
                watched now{};
                while (look(fd, now)) {
                    reported_lost = false;
                    view.show_look(now);
                    usleep(look_interval_us);
                }
            } else {
                close(fd);
                fprintf(stderr, "The daemon refused to be watched (Error: %d, %s)\n", answer.status,
                        answer.data[0] == WATCH_REFUSED_FULL ? "too many watchers" : "unknown reason");
                return -1;
            }
        }
        close(fd);
        if (!reported_lost)
            fputs("Lost the daemon; reconnecting\n", stderr);
        reported_lost = true;
        usleep(reconnect_interval_us);
    }
}
