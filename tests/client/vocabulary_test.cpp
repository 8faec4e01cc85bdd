// Every --json output against the key list of the manual page: each key it writes is
// listed there with the type it has, and each listed key is written (null when missing).
#include "client_fixture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

// path -> "string|null" as the manual page lists them, by command.
using key_list = std::map<std::string, std::set<std::string>>;

std::map<std::string, key_list> manual_keys()
{
    std::ifstream in(TESMAR_CLIENT_MANPAGE);
    std::map<std::string, key_list> keys;
    std::string line, command;
    bool in_section = false, in_list = false;
    while (std::getline(in, line)) {
        if (line.starts_with(".SH"))
            in_section = line == ".SH JSON KEYS";
        else if (!in_section)
            continue;
        else if (line.starts_with(".B ") && !in_list)
            command = line.substr(3);
        else if (line == ".nf")
            in_list = true;
        else if (line == ".fi")
            in_list = false;
        else if (in_list) {
            std::istringstream fields(line);
            std::string path, types;
            fields >> path >> types;
            for (std::size_t at = 0, bar; at <= types.size(); at = bar + 1) {
                bar = types.find('|', at);
                bar = bar == std::string::npos ? types.size() : bar;
                keys[command][path].insert(types.substr(at, bar - at));
            }
        }
    }
    return keys;
}

// A JSON reader that lists each member's path and type; false for anything else.
class flattener {
public:
    explicit flattener(const std::string &text) : s_(text) {}
    bool read(std::map<std::string, std::string> &out)
    {
        out_ = &out;
        return peek() == '{' && value("") && s_.substr(at_) == "\n";
    }

private:
    char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }
    bool eat(char c) { return peek() == c ? (at_++, true) : false; }
    bool string(std::string *text)
    {
        if (!eat('"'))
            return false;
        while (at_ < s_.size() && s_[at_] != '"') {
            if (s_[at_] == '\\')
                at_++;
            if (text != nullptr)
                text->push_back(s_[at_]);
            at_++;
        }
        return eat('"');
    }
    bool value(const std::string &path)
    {
        const char c = peek();
        std::string type = c == '{' ? "object" : c == '"' ? "string" : c == 'n' ? "null"
                         : (c == 't' || c == 'f') ? "boolean" : "number";
        if (!path.empty())
            (*out_)[path] = type;
        if (eat('{')) {
            if (eat('}'))
                return true;
            do {
                std::string key;
                if (!string(&key) || !eat(':') || !value(path.empty() ? key : path + "." + key))
                    return false;
            } while (eat(','));
            return eat('}');
        }
        if (c == '"')
            return string(nullptr);
        for (const char *word : {"null", "true", "false"}) {
            if (s_.compare(at_, std::strlen(word), word) == 0) {
                at_ += std::strlen(word);
                return true;
            }
        }
        const std::size_t start = at_;
        while (std::strchr("-0123456789.", peek()) != nullptr && peek() != '\0')
            at_++;
        return at_ > start;
    }
    const std::string &s_;
    std::size_t at_ = 0;
    std::map<std::string, std::string> *out_ = nullptr;
};

// The manual page's name for a path: LED ids and interfaces by their placeholders.
std::string listed_as(const std::string &path)
{
    std::string out = path;
    for (const char *id : {"sys", "ext_pwr", "storage", "data", "wifi", "4g", "net"})
        if (out == std::string("leds.") + id)
            out = "leds.<id>";
    for (const char *name : {"end1", "end2", "wlan0", "wwan"}) {
        const std::string prefix = std::string("interfaces.") + name;
        if (out == prefix || out.starts_with(prefix + "."))
            out = "interfaces.<interface>" + out.substr(prefix.size());
    }
    return out;
}

SysInfoRecord full_system()
{
    SysInfoRecord r{};
    r.version = SYSINFO_VERSION;
    r.cpu_temp = 456;
    r.mem_total_kib = 1000;
    r.sd_total_kib = 2000;
    r.end1_addr = 0x0a01a8c0;
    r.end1_mask = 0x00ffffff;
    r.battery_pct = 80;
    return r;
}

bytes answer(const bytes &request, bool full)
{
    switch (request.at(0)) {
    case CMD_SYSINFO: {
        SysInfoRecord r = full_system();
        if (!full) {
            r = SysInfoRecord{};
            r.version = SYSINFO_VERSION;
            r.default_route = ROUTE_NONE;
            r.battery_pct = BATTERY_NA;
        }
        return record_bytes(r);
    }
    case CMD_4G_INFO: {
        ModemInfoRecord r{};
        r.status = full ? 0 : 1;
        r.rssi = full ? 20 : MODEM_NO_VALUE;
        r.ber = full ? 0 : MODEM_NO_VALUE;
        r.mcc = full ? 460 : 0;
        r.band = full ? 3 : 0;
        std::strcpy(r.iccid, full ? "8986" : "");
        return record_bytes(r);
    }
    case CMD_SDCARD_STATUS: {
        SdCardStatusRecord r{};
        r.status = full ? 0 : 1;
        r.total_kib = full ? 1000 : 0;
        std::strcpy(r.mounts, full ? "/home/pi/tmData" : "");
        return record_bytes(r);
    }
    case CMD_LINK_STATE: {
        LinkStateRecord r{};
        r.version = LINK_STATE_VERSION;
        r.dialer_pid = full ? 42 : -1;
        return record_bytes(r);
    }
    case CMD_SDCARD_STATE: {
        SdCardStateRecord r{};
        r.version = SDCARD_STATE_VERSION;
        r.eject_hold = full ? 0 : FLAG_UNKNOWN;
        std::strcpy(r.mount_point, full ? "/home/pi/tmData" : "");
        return record_bytes(r);
    }
    case CMD_VERSION:
        return bytes({'v', '1'});
    case CMD_INA236:
        return full ? ok({1, 2, 3, 4}) : reply_bytes(STATUS_FAILED);
    case CMD_LED_GET:
        // An LED whose request fails is null in the overview.
        return full ? ok({1}) : reply_bytes(STATUS_FAILED);
    case CMD_BATTERY:
        return ok({full ? std::uint8_t{50} : BATTERY_NA});
    default:
        return ok({1, 1, 1, 1, 1, 1});
    }
}

TEST_F(ClientTest, EveryJsonOutputHasTheListedKeysAndTypes)
{
    const auto manual = manual_keys();
    ASSERT_GE(manual.size(), 12u) << "no key lists found in " << TESMAR_CLIENT_MANPAGE;
    const std::vector<std::vector<std::string>> commands = {
        {"status"}, {"sysinfo"}, {"4g", "info"}, {"sdcard", "status"}, {"ina"}, {"power", "status"},
        {"input"}, {"battery"}, {"version"}, {"link"}, {"sdcard", "state"}};
    fake_ctl_server daemon(socket_path());
    for (bool full : {true, false}) {
        daemon.answer_with([full](const bytes &request) { return answer(request, full); });
        for (const auto &command : commands) {
            std::string name = command[0] + (command.size() > 1 ? " " + command[1] : "");
            SCOPED_TRACE(name + (full ? " (all values)" : " (values missing)"));
            ASSERT_TRUE(manual.contains(name));
            std::vector<std::string> args = {"--json"};
            args.insert(args.end(), command.begin(), command.end());
            std::map<std::string, std::string> written;
            std::string out = run_client(args).out;
            ASSERT_TRUE(flattener(out).read(written)) << out;
            // The overview's system object has the keys of sysinfo.
            auto list_of = [&](const std::string &path) -> std::pair<const key_list *, std::string> {
                if (name == "status" && path.starts_with("system."))
                    return {&manual.at("sysinfo"), listed_as(path.substr(7))};
                return {&manual.at(name), listed_as(path)};
            };
            std::set<std::string> seen;
            for (const auto &[path, type] : written) {
                auto [list, key] = list_of(path);
                seen.insert(key);
                ASSERT_TRUE(list->contains(key)) << path << " is not listed";
                EXPECT_TRUE(list->at(key).contains(type)) << path << " is " << type;
            }
            for (const auto &[key, types] : manual.at(name)) {
                // A member of an object that came null (or the only object present) is absent.
                const std::size_t dot = key.rfind('.');
                const std::string parent = dot == std::string::npos ? "" : key.substr(0, dot);
                const bool parent_null = !parent.empty() && !seen.contains(parent);
                bool parent_is_null = false;
                for (const auto &[path, type] : written)
                    parent_is_null = parent_is_null || (listed_as(path) == parent && type == "null");
                if (!parent_null && !parent_is_null) {
                    EXPECT_TRUE(seen.contains(key)) << key << " is listed but not written";
                }
            }
        }
    }
}

}  // namespace
