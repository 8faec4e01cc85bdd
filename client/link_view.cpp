#include "link_view.h"

#include "ctl_client.h"
#include "json.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

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

// The watched values of one look at the daemon.
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

void emit(bool json, const char *what, const char *name, const char *value, const char *previous)
{
    char when[48];
    timestamp(when);
    if (json) {
        json_object o(stdout);
        o.string("time", when);
        o.string("event", what);
        o.string("name", name);
        o.string("value", value);
        if (previous != nullptr)
            o.string("previous", previous);
        else
            o.null("previous");
    } else {
        printf("%s %s %s %s", when, what, name, value);
        if (previous != nullptr)
            printf(" (was %s)", previous);
        putchar('\n');
    }
    fflush(stdout);
}

// Prints each value of NOW that differs from BEFORE (every value when BEFORE is null).
void report_changes(bool json, const watched *before, const watched &now)
{
    auto compare = [&](const char *what, const char *name, const char *old_value, const char *new_value) {
        if (before == nullptr || std::strcmp(old_value, new_value) != 0)
            emit(json, what, name, new_value, before != nullptr ? old_value : nullptr);
    };
    const watched &b = before != nullptr ? *before : now;
    for (std::size_t i = 0; i < std::size(input_names); i++)
        compare("input", input_names[i], b.inputs[i] != 0 ? "HIGH" : "LOW", now.inputs[i] != 0 ? "HIGH" : "LOW");
    compare("switch", "4g", b.link.switch_4g != 0 ? "ON" : "OFF", now.link.switch_4g != 0 ? "ON" : "OFF");
    compare("switch", "wifi", b.link.switch_wifi != 0 ? "ON" : "OFF", now.link.switch_wifi != 0 ? "ON" : "OFF");
    compare("link", "4g", link_state_name(b.link.state_4g, true), link_state_name(now.link.state_4g, true));
    compare("link", "wifi", link_state_name(b.link.state_wifi, false), link_state_name(now.link.state_wifi, false));
    compare("sdcard", "state", sdcard_state_name(b.card.recovery_state), sdcard_state_name(now.card.recovery_state));
    const char *old_mount = b.card.mount_point[0] != '\0' ? b.card.mount_point : "none";
    const char *new_mount = now.card.mount_point[0] != '\0' ? now.card.mount_point : "none";
    compare("sdcard", "mount", old_mount, new_mount);
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
    // Five looks a second catch a key press (the daemon samples inputs every 100 ms and a
    // press lasts longer) at three small requests per look on one connection.
    constexpr useconds_t look_interval_us = 200000;
    constexpr useconds_t reconnect_interval_us = 1000000;
    watched last{};
    bool have_last = false;
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
        watched now{};
        while (look(fd, now)) {
            reported_lost = false;
            report_changes(json, have_last ? &last : nullptr, now);
            last = now;
            have_last = true;
            usleep(look_interval_us);
        }
        close(fd);
        if (!reported_lost)
            fputs("Lost the daemon; reconnecting\n", stderr);
        reported_lost = true;
        usleep(reconnect_interval_us);
    }
}
