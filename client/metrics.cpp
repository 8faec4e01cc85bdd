#include "metrics.h"

#include "ctl_client.h"
#include "link_view.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

namespace {

// Names follow Prometheus practice: the program's prefix, base units (volts, amperes,
// watts, bytes, degrees Celsius, ratios), "_total" for counters. Only the help texts and
// fixed label values of this file are written, never text from the daemon.
void header(const char *name, const char *type, const char *help)
{
    printf("# HELP tesmar_gpio_%s %s\n# TYPE tesmar_gpio_%s %s\n", name, help, name, type);
}

void sample(const char *name, const char *labels, unsigned long long value)
{
    if (labels != nullptr)
        printf("tesmar_gpio_%s{%s} %llu\n", name, labels, value);
    else
        printf("tesmar_gpio_%s %llu\n", name, value);
}

void signed_sample(const char *name, long long value) { printf("tesmar_gpio_%s %lld\n", name, value); }

void decimal_sample(const char *name, double value, int digits)
{
    printf("tesmar_gpio_%s %.*f\n", name, digits, value);
}

void gauge(const char *name, const char *help, unsigned long long value)
{
    header(name, "gauge", help);
    sample(name, nullptr, value);
}

// One sample per state, 1 for the current one: alerts can name the state they mean.
void state_set(const char *name, const char *label, const char *const *states, std::size_t count, const char *now)
{
    char labels[96];
    for (std::size_t i = 0; i < count; i++) {
        snprintf(labels, sizeof labels, "%s=\"%s\"", label, states[i]);
        sample(name, labels, now != nullptr && std::string_view(states[i]) == now);
    }
}

// A record (or generic reply) of CMD, fetched without a message: a daemon without the
// request, or without the device, leaves its metrics out. A time-out still says so.
template <typename Record>
bool fetch_quietly(std::uint8_t cmd, Record &record, std::uint8_t index = 0)
{
    if (ctl_timed_out())
        return false;
    int fd = connect_and_send(make_request(cmd, index));
    if (fd < 0) {
        if (fd == EXCHANGE_TIMED_OUT)
            ctl_report_exchange_failure(fd);
        return false;
    }
    return receive_once(fd, &record, sizeof record) == static_cast<ssize_t>(sizeof record);
}

bool ask_quietly(std::uint8_t cmd, ControlReply &reply)
{
    return fetch_quietly(cmd, reply) && reply.status == STATUS_OK;
}

const char *const power_sources[] = {"none", "external", "internal", "both", "unknown"};
const char *const input_labels[] = {"input=\"4g\"", "input=\"valid1\"", "input=\"valid2\"", "input=\"wifi\""};
const char *const states_4g[] = {"off", "dialing", "up", "recovering", "failed"};
const char *const states_wifi[] = {"off", "starting", "up", "recovering", "failed"};
const char *const card_states[] = {"mounted", "degraded", "unbound", "remounting"};

void power_and_inputs(const ControlReply &all)
{
    header("power_source", "gauge", "1 for the power source the VALID inputs show (unknown: a read failed).");
    const std::uint8_t code = all.data[0];
    state_set("power_source", "source", power_sources, std::size(power_sources),
              power_sources[code < std::size(power_sources) ? code : 4]);
    header("input_high", "gauge", "1 when the input line is high.");
    // CMD_STATUS_ALL bytes 3 to 6: the 4G, VALID1, VALID2 and WIFI levels.
    for (std::size_t i = 0; i < std::size(input_labels); i++)
        sample("input_high", input_labels[i], all.data[2 + i] != 0);
    gauge("output_12v_on", "1 when the 12 V output is switched on.", all.data[1] != 0);
}

void links()
{
    ControlReply switches[2];
    const bool have[2] = {ask_quietly(CMD_4G_STATUS, switches[0]), ask_quietly(CMD_WIFI_STATUS, switches[1])};
    if (have[0] || have[1]) {
        header("link_switch_on", "gauge", "1 when the link's switch is on.");
        if (have[0])
            sample("link_switch_on", "link=\"4g\"", switches[0].data[0] != 0);
        if (have[1])
            sample("link_switch_on", "link=\"wifi\"", switches[1].data[0] != 0);
    }
    LinkStateRecord r;
    if (!fetch_quietly(CMD_LINK_STATE, r) || r.version != LINK_STATE_VERSION || r.status != 0)
        return;
    header("link_state", "gauge", "1 for the link's current state.");
    // Labelled per link, so both links' states go under one name.
    char labels[64];
    for (const char *state : states_4g) {
        snprintf(labels, sizeof labels, "link=\"4g\",state=\"%s\"", state);
        sample("link_state", labels, std::string_view(state) == link_state_name(r.state_4g, true));
    }
    for (const char *state : states_wifi) {
        snprintf(labels, sizeof labels, "link=\"wifi\",state=\"%s\"", state);
        sample("link_state", labels, std::string_view(state) == link_state_name(r.state_wifi, false));
    }
    header("link_attempts", "gauge",
           "Attempts since the link was last up or off: 4G dials, access-point recoveries.");
    sample("link_attempts", "link=\"4g\"", r.attempts_4g);
    sample("link_attempts", "link=\"wifi\"", r.attempts_wifi);
    gauge("4g_interface_up", "1 when the modem's network interface is up.", r.iface_4g_up != 0);
    gauge("4g_dialer_running", "1 while the modem's connection manager runs.", r.dialer_pid > 0);
}

void counters()
{
    CountersRecord r;
    if (!fetch_quietly(CMD_COUNTERS, r) || r.version != COUNTERS_VERSION || r.status != 0)
        return;
    auto kept = [&](std::uint8_t id) { return id < r.count && id < COUNTER_SLOTS; };
    if (kept(COUNTER_KEY_4G) || kept(COUNTER_KEY_WIFI)) {
        header("key_presses_total", "counter", "Key presses that toggled a switch, since the daemon started.");
        if (kept(COUNTER_KEY_4G))
            sample("key_presses_total", "key=\"4g\"", r.values[COUNTER_KEY_4G]);
        if (kept(COUNTER_KEY_WIFI))
            sample("key_presses_total", "key=\"wifi\"", r.values[COUNTER_KEY_WIFI]);
    }
    struct one {
        std::uint8_t id;
        const char *name;
        const char *help;
    };
    const one singles[] = {
        {COUNTER_REDIAL_4G, "4g_redials_total", "4G dial attempts after a failed or lost link."},
        {COUNTER_RECOVERY_WIFI, "wifi_recoveries_total", "Access-point recoveries started after a failed health check."},
        {COUNTER_RECOVERY_SDCARD, "sdcard_recoveries_total", "SD card mounts brought back by the recovery."},
        {COUNTER_EJECT_SDCARD, "sdcard_ejects_total", "SD card ejects that found a card mount."},
    };
    for (const one &c : singles) {
        if (!kept(c.id))
            continue;
        header(c.name, "counter", c.help);
        sample(c.name, nullptr, r.values[c.id]);
    }
}

void card()
{
    SdCardStateRecord state;
    if (fetch_quietly(CMD_SDCARD_STATE, state) && state.version == SDCARD_STATE_VERSION && state.status == 0) {
        header("sdcard_recovery_state", "gauge", "1 for the SD card recovery's current state.");
        state_set("sdcard_recovery_state", "state", card_states, std::size(card_states),
                  state.recovery_state < std::size(card_states) ? card_states[state.recovery_state] : nullptr);
        if (state.eject_hold != FLAG_UNKNOWN)
            gauge("sdcard_eject_hold", "1 while an eject keeps the card unmounted.", state.eject_hold != 0);
    }
    SdCardStatusRecord status;
    if (!fetch_quietly(CMD_SDCARD_STATUS, status))
        return;
    const bool mounted = status.status == 0;
    gauge("sdcard_mounted", "1 when a card mount is in the mount table.", mounted);
    if (!mounted)
        return;
    gauge("sdcard_mounts", "Card mounts in the mount table.", status.partitions);
    if (status.total_kib == 0)
        return;  // the file systems could not be measured
    gauge("sdcard_size_bytes", "Size of the card's file systems.", status.total_kib * 1024);
    gauge("sdcard_free_bytes", "Free space of the card's file systems, the reserved blocks included.",
          status.free_kib * 1024);
}

void power_monitor_and_system()
{
    ControlReply reply;
    if (ask_quietly(CMD_INA236, reply)) {
        Ina236Reply ina;
        static_assert(sizeof ina == sizeof reply);
        std::memcpy(&ina, &reply, sizeof ina);
        std::int16_t current_ma = ina.current_ma;
        header("ina236_bus_volts", "gauge", "Bus voltage at the INA236 power monitor.");
        decimal_sample("ina236_bus_volts", ina.bus_mv / 1000.0, 3);
        header("ina236_current_amperes", "gauge", "Current through the INA236 power monitor, negative flowing back.");
        decimal_sample("ina236_current_amperes", current_ma / 1000.0, 3);
        header("ina236_power_watts", "gauge", "Power at the INA236 power monitor.");
        decimal_sample("ina236_power_watts", ina.power_uw / 1000000.0, 6);
    }
    SysInfoRecord system;
    if (!fetch_quietly(CMD_SYSINFO, system) || system.version != SYSINFO_VERSION || system.status != 0)
        return;
    if (system.cpu_temp != 0) {  // 0: the daemon could not read it
        header("cpu_temperature_celsius", "gauge", "CPU temperature.");
        decimal_sample("cpu_temperature_celsius", system.cpu_temp / 10.0, 1);
    }
    if (system.battery_pct != BATTERY_NA) {
        header("battery_ratio", "gauge", "Battery charge, 0 to 1.");
        decimal_sample("battery_ratio", system.battery_pct / 100.0, 2);
    }
}

void modem_signal()
{
    ModemInfoRecord r;
    if (!fetch_quietly(CMD_4G_INFO, r))
        return;
    const bool available = r.status == 0;
    gauge("modem_available", "1 when the modem's AT port answered.", available);
    if (!available)
        return;
    gauge("modem_registered", "1 when the modem is registered (home or roaming).",
          r.reg_status == 1 || r.reg_status == 5);
    gauge("modem_connected", "1 when the serving cell is in a connection.", r.connected != 0);
    if (r.rssi != MODEM_NO_VALUE) {
        header("modem_rssi_dbm", "gauge", "Received signal strength from +CSQ, in dBm.");
        signed_sample("modem_rssi_dbm", r.rssi * 2 - 113);
    }
    if (r.mcc != 0) {  // the serving-cell answer came
        std::int16_t rsrp = r.rsrp, rsrq = r.rsrq;
        header("modem_rsrp_dbm", "gauge", "Reference signal received power of the serving cell, in dBm.");
        signed_sample("modem_rsrp_dbm", rsrp);
        header("modem_rsrq_db", "gauge", "Reference signal received quality of the serving cell, in dB.");
        signed_sample("modem_rsrq_db", rsrq);
    }
}

}  // namespace

int print_metrics(bool modem)
{
    ControlReply all;
    const bool up = send_command(make_request(CMD_STATUS_ALL), all) == 0 && all.status == STATUS_OK;
    gauge("up", "1 when the daemon answered; without an answer nothing else is written.", up);
    if (!up)
        return -1;
    power_and_inputs(all);
    links();
    counters();
    card();
    power_monitor_and_system();
    if (modem)
        modem_signal();
    // A time-out leaves the rest out (each request would wait as long), and the run fails.
    return ctl_timed_out() ? -1 : 0;
}
