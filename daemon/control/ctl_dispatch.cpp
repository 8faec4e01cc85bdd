#include "ctl_dispatch.h"

#include "beep.h"
#include "counters.h"
#include "ctl_storage.h"
#include "input.h"
#include "ctl_modem.h"
#include "ctl_sysinfo.h"
#include "led.h"
#include "link.h"
#include "power.h"
#include "sdcard_mounts.h"
#include "sdcard_recovery.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

namespace {

// An action command: STATUS_FAILED when the module operation reports failure.
std::size_t status_from(ctl_reply &reply, int result)
{
    reply.generic.status = result != 0 ? STATUS_FAILED : STATUS_OK;
    return sizeof(ControlReply);
}

// A query: STATUS_OK, and the low 8 bits of each result in data bytes 1, 2, ... The
// braced list evaluates the module calls left to right, which fixes their order.
std::size_t values(ctl_reply &reply, std::initializer_list<int> results)
{
    std::size_t at = 0;
    for (int result : results)
        reply.generic.data[at++] = static_cast<std::uint8_t>(result);
    return sizeof(ControlReply);
}

std::size_t unknown_command(ctl_reply &reply)
{
    reply.generic.status = STATUS_UNKNOWN_COMMAND;
    return sizeof(ControlReply);
}

using request = const ControlRequest &;

// A set command: byte 1 the switch after it, byte 2 whether it changed.
std::size_t set_switch(ctl_reply &reply, int (*set)(int), int (*get)(), std::uint16_t value)
{
    const int changed = set(value != 0 ? 1 : 0);
    return values(reply, {get() != 0 ? 1 : 0, changed});
}

std::uint8_t saturated(int count) { return static_cast<std::uint8_t>(std::clamp(count, 0, 255)); }

std::size_t link_state_record(request, ctl_reply &reply)
{
    const link_snapshot s = link_get_snapshot();
    LinkStateRecord &r = reply.link_state;
    r.version = LINK_STATE_VERSION;
    r.switch_4g = s.switch_4g != 0 ? 1 : 0;
    r.state_4g = ctl_link_report_4g(s.state_4g, s.switch_4g);
    r.attempts_4g = saturated(s.attempts_4g);
    r.iface_4g_up = s.iface_4g_up != 0 ? 1 : 0;
    r.dialer_pid = s.dialer_pid > 0 ? s.dialer_pid : -1;
    r.switch_wifi = s.switch_wifi != 0 ? 1 : 0;
    r.state_wifi = ctl_link_report_wifi(s.state_wifi, s.attempts_wifi);
    r.attempts_wifi = saturated(s.attempts_wifi);
    return sizeof(LinkStateRecord);
}

std::size_t sdcard_state_record(request, ctl_reply &reply)
{
    SdCardStateRecord &r = reply.sdcard_state;
    r.version = SDCARD_STATE_VERSION;
    r.recovery_state = static_cast<std::uint8_t>(sdcard_recovery_get_state());
    r.eject_hold = sdcard_recovery_eject_held() ? 1 : 0;
    const std::vector<mount_entry> cards = sdcard_card_mounts();
    r.mounted = cards.empty() ? 0 : 1;
    // A mount point too long for the field is left out rather than cut to another path.
    if (!cards.empty() && cards.front().mount_point.size() < sizeof r.mount_point)
        std::memcpy(r.mount_point, cards.front().mount_point.c_str(), cards.front().mount_point.size() + 1);
    return sizeof(SdCardStateRecord);
}

// Commands served today. The link-switch, report, storage and remote-terminal commands
// add their rows here as their handlers land; until then their codes are unknown.
constexpr ctl_command ctl_commands[] = {
    {CMD_LED_ON, [](request r, ctl_reply &out) { return status_from(out, led_on(r.index)); }},
    {CMD_LED_OFF, [](request r, ctl_reply &out) { return status_from(out, led_off(r.index)); }},
    {CMD_LED_TOGGLE, [](request r, ctl_reply &out) { return status_from(out, led_toggle(r.index)); }},
    {CMD_LED_BLINK, [](request r, ctl_reply &out) { return status_from(out, led_blink(r.index, r.param)); }},
    {CMD_LED_GET, [](request r, ctl_reply &out) { return values(out, {led_get_mode(r.index)}); }},
    {CMD_BEEP_ON, [](request, ctl_reply &out) { return status_from(out, beep_on()); }},
    {CMD_BEEP_OFF, [](request, ctl_reply &out) { return status_from(out, beep_off()); }},
    {CMD_BEEP_ONCE,
     [](request r, ctl_reply &out) { return status_from(out, beep_once(r.param != 0 ? r.param : 100)); }},
    {CMD_BEEP_ALARM, [](request, ctl_reply &out) { return status_from(out, beep_alarm(3, 100, 200)); }},
    {CMD_POWER_STATUS, [](request, ctl_reply &out) { return values(out, {power_get_status()}); }},
    {CMD_12V_ON, [](request, ctl_reply &out) { return status_from(out, power_12v_on()); }},
    {CMD_12V_OFF, [](request, ctl_reply &out) { return status_from(out, power_12v_off()); }},
    {CMD_12V_GET, [](request, ctl_reply &out) { return values(out, {power_12v_get()}); }},
    {CMD_INPUT_4G, [](request, ctl_reply &out) { return values(out, {input_get_4g()}); }},
    {CMD_INPUT_WIFI, [](request, ctl_reply &out) { return values(out, {input_get_wifi()}); }},
    {CMD_INPUT_VALID1, [](request, ctl_reply &out) { return values(out, {input_get_valid1()}); }},
    {CMD_INPUT_VALID2, [](request, ctl_reply &out) { return values(out, {input_get_valid2()}); }},
    {CMD_INPUT_ALL,
     [](request, ctl_reply &out) {
         return values(out, {input_get_4g(), input_get_valid1(), input_get_valid2(), input_get_wifi()});
     }},
    {CMD_STATUS_ALL,
     [](request, ctl_reply &out) {
         return values(out, {power_get_status(), power_12v_get(), input_get_4g(), input_get_valid1(),
                             input_get_valid2(), input_get_wifi()});
     }},
    {CMD_4G_TOGGLE, [](request, ctl_reply &out) { return values(out, {link_toggle_4g()}); }},
    {CMD_WIFI_TOGGLE, [](request, ctl_reply &out) { return values(out, {link_toggle_wifi()}); }},
    {CMD_4G_STATUS, [](request, ctl_reply &out) { return values(out, {link_get_4g_enabled()}); }},
    {CMD_WIFI_STATUS, [](request, ctl_reply &out) { return values(out, {link_get_wifi_enabled()}); }},
    {CMD_SYSINFO,
     [](request, ctl_reply &out) {
         ctl_collect_sysinfo(out.sysinfo);
         return sizeof(SysInfoRecord);
     }},
    {CMD_BATTERY, [](request, ctl_reply &out) { return values(out, {ctl_read_battery()}); }},
    {CMD_4G_INFO,
     [](request, ctl_reply &out) {
         ctl_query_modem(out.modem);
         return sizeof(ModemInfoRecord);
     }},
    {CMD_RTTY_ON, ctl_rtty_on},
    {CMD_RTTY_OFF, ctl_rtty_off},
    {CMD_RTTY_STATUS, ctl_rtty_status},
    {CMD_VERSION, ctl_version},
    {CMD_INA236, ctl_read_ina236},
    {CMD_SDCARD_REMOVE, ctl_sdcard_remove},
    {CMD_SDCARD_STATUS, ctl_sdcard_status},
    {CMD_4G_SET,
     [](request r, ctl_reply &out) { return set_switch(out, link_set_4g, link_get_4g_enabled, r.param); }},
    {CMD_WIFI_SET,
     [](request r, ctl_reply &out) { return set_switch(out, link_set_wifi, link_get_wifi_enabled, r.param); }},
    {CMD_LINK_STATE, link_state_record},
    {CMD_SDCARD_STATE, sdcard_state_record},
    {CMD_COUNTERS,
     [](request, ctl_reply &out) {
         CountersRecord record;
         counters_record(record);
         static_assert(sizeof record <= sizeof out.bytes);
         std::memcpy(out.bytes, &record, sizeof record);
         return sizeof record;
     }},
};

constexpr bool codes_unique()
{
    for (const ctl_command &a : ctl_commands) {
        int rows = 0;
        for (const ctl_command &b : ctl_commands)
            rows += a.code == b.code;
        if (rows != 1)
            return false;
    }
    return true;
}
static_assert(codes_unique(), "two rows of the command table serve the same code");

// Indexed by code, so a request costs one lookup.
constexpr std::array<ctl_handler, 256> handler_by_code = [] {
    std::array<ctl_handler, 256> table{};
    for (const ctl_command &command : ctl_commands)
        table[command.code] = command.handler;
    return table;
}();

}  // namespace

std::size_t ctl_dispatch(const ControlRequest &request, ctl_reply &reply)
{
    ctl_handler handler = handler_by_code[request.cmd];
    return handler != nullptr ? handler(request, reply) : unknown_command(reply);
}

std::size_t ctl_bad_length(ctl_reply &reply)
{
    reply.generic.status = STATUS_BAD_LENGTH;
    return sizeof(ControlReply);
}

std::uint8_t ctl_link_report_4g(int state, int enabled)
{
    // The 4G worker retries a failed dial for as long as the switch is on.
    switch (state) {
    case LINK_STARTING:
        return LINK_REPORT_STARTING;
    case LINK_UP:
        return LINK_REPORT_UP;
    case LINK_FAILED:
        return enabled != 0 ? LINK_REPORT_RECOVERING : LINK_REPORT_FAILED;
    default:
        return LINK_REPORT_OFF;
    }
}

std::uint8_t ctl_link_report_wifi(int state, int attempts)
{
    // The access point is recovered up to three times: while a recovery runs the link
    // still shows its old state with the attempt counted; once three failed it stays failed.
    constexpr int recovery_limit = 3;
    switch (state) {
    case LINK_STARTING:
        return LINK_REPORT_STARTING;
    case LINK_UP:
        return attempts > 0 ? LINK_REPORT_RECOVERING : LINK_REPORT_UP;
    case LINK_FAILED:
        return attempts < recovery_limit ? LINK_REPORT_RECOVERING : LINK_REPORT_FAILED;
    default:
        return LINK_REPORT_OFF;
    }
}
