#include "config.h"
#include "log.h"

#include "board_root.h"
#include "notify.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

tesmar_config loaded;

constexpr std::string_view blanks = " \t";

std::string_view trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool has_control(std::string_view text)
{
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return true;
    }
    return false;
}

bool all_of(std::string_view text, std::string_view allowed_punctuation)
{
    for (char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && allowed_punctuation.find(c) == std::string_view::npos)
            return false;
    }
    return true;
}

// Longest card label, which becomes one directory right below card_mount_dir.
constexpr std::size_t card_label_max = 63;

// Absolute, without "." or ".." components or empty ones, and not the root itself; short
// enough for the system to open (a longer one would fail only when first used, far from
// this file, or be cut).
const char *check_path(std::string_view value)
{
    if (value.size() < 2 || value.front() != '/' || value.back() == '/')
        return "is not an absolute path";
    if (value.size() >= PATH_MAX)
        return "is longer than a path can be";
    std::size_t at = 1;
    while (at <= value.size()) {
        std::size_t end = value.find('/', at);
        if (end == std::string_view::npos)
            end = value.size();
        const std::string_view part = value.substr(at, end - at);
        if (part.empty() || part == "." || part == "..")
            return "is not a plain absolute path";
        if (part.size() > NAME_MAX)
            return "has a name longer than a file name can be";
        at = end + 1;
    }
    return nullptr;
}

// The access point name of 3GPP TS 23.003: labels of letters, digits and hyphens.
const char *check_apn(std::string_view value)
{
    return value.size() <= 62 && all_of(value, ".-") ? nullptr : "is not an access point name";
}

const char *check_interface(std::string_view value)
{
    return value.size() < 16 && value != "." && value != ".." && all_of(value, "._-") ? nullptr
                                                                                         : "is not an interface name";
}

static_assert(NOTIFY_HOST_MAX == 127 && NOTIFY_PATH_MAX - NOTIFY_QUERY_ROOM == 383,
              "the URL's messages name the notify client's limits");

// What the notify client can reach: http://HOST[:PORT]/PATH, no blanks, no query.
const char *check_url(std::string_view value)
{
    constexpr std::string_view scheme = "http://";
    if (value.substr(0, scheme.size()) != scheme || value.size() == scheme.size())
        return "is not an http:// URL";
    const std::string_view rest = value.substr(scheme.size());
    if (rest.find_first_of(" ?#\"") != std::string_view::npos)
        return "is not an http:// URL without blanks or query";
    const std::size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    const std::size_t colon = authority.find(':');
    if (authority.empty() || colon == 0 || !all_of(authority.substr(0, colon), ".-"))
        return "has no valid host";
    // The notify client holds no more; a longer host would be cut and name another one.
    if (authority.substr(0, colon).size() > NOTIFY_HOST_MAX)
        return "has a host longer than 127 characters";
    // Room for the query of every event, which would otherwise be cut off.
    if (slash != std::string_view::npos && rest.size() - slash > NOTIFY_PATH_MAX - NOTIFY_QUERY_ROOM)
        return "has a path longer than 383 characters";
    if (colon != std::string_view::npos) {
        const std::string_view port = authority.substr(colon + 1);
        unsigned number = 0;
        const auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || !all_of(port, "") || failure != std::errc() || end != port.data() + port.size() ||
            number == 0 || number > 65535)
            return "has no valid port";
    }
    return nullptr;
}

// Words separated by blanks; each word reaches the dialer as one argument.
const char *split_words(std::string_view value, std::vector<std::string> &words)
{
    words.clear();
    std::size_t at = 0;
    while ((at = value.find_first_not_of(blanks, at)) != std::string_view::npos) {
        std::size_t end = value.find_first_of(blanks, at);
        if (end == std::string_view::npos)
            end = value.size();
        words.emplace_back(value.substr(at, end - at));
        at = end;
    }
    return words.size() <= 16 ? nullptr : "has more than 16 words";
}

struct key_rule {
    const char *key;
    const char *(*set)(std::string_view value, tesmar_config &config);
};

const key_rule keys[] = {
    {"apn",
     [](std::string_view v, tesmar_config &c) {
         const char *bad = check_apn(v);
         if (bad == nullptr)
             c.apn = v;
         return bad;
     }},
    {"dialer_args", [](std::string_view v, tesmar_config &c) { return split_words(v, c.dialer_args); }},
    {"dialer",
     [](std::string_view v, tesmar_config &c) {
         const char *bad = check_path(v);
         if (bad == nullptr)
             c.dialer = v;
         return bad;
     }},
    {"modem_port",
     [](std::string_view v, tesmar_config &c) {
         const char *bad = check_path(v);
         if (bad == nullptr)
             c.modem_port = v;
         return bad;
     }},
    {"wwan_interface",
     [](std::string_view v, tesmar_config &c) {
         const char *bad = check_interface(v);
         if (bad == nullptr)
             c.wwan_interface = v;
         return bad;
     }},
    {"notify_url",
     [](std::string_view v, tesmar_config &c) {
         const char *bad = check_url(v);
         if (bad == nullptr)
             c.notify_url = v;
         return bad;
     }},
    {"card_mount_dir",
     [](std::string_view v, tesmar_config &c) {
         const char *bad = check_path(v);
         if (bad == nullptr && v.size() + 1 + card_label_max >= PATH_MAX)
             bad = "leaves no room for a card's mount point below it";
         if (bad == nullptr)
             c.card_mount_dir = v;
         return bad;
     }},
};

}  // namespace

int config_parse(std::string_view text, std::string_view name, tesmar_config &config, std::string &error)
{
    tesmar_config result = config;
    std::vector<std::string_view> seen;
    int number = 0;
    auto fail = [&](const std::string &what) {
        error = std::string(name) + ":" + std::to_string(number) + ": " + what;
        return -1;
    };
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string_view content = trim(line);
        if (content.empty() || content.front() == '#')
            continue;
        const std::size_t equals = content.find('=');
        if (equals == std::string_view::npos)
            return fail("expected key=value");
        const std::string_view key = trim(content.substr(0, equals));
        const std::string_view value = trim(content.substr(equals + 1));
        const key_rule *rule = nullptr;
        for (const key_rule &k : keys) {
            if (key == k.key)
                rule = &k;
        }
        if (rule == nullptr)
            return fail("unknown key '" + std::string(has_control(key) ? "?" : key) + "'");
        for (std::string_view earlier : seen) {
            if (earlier == key)
                return fail("duplicate key " + std::string(key));
        }
        seen.push_back(key);
        if (value.empty())
            return fail("empty value for " + std::string(key));
        if (has_control(value))
            return fail("control character in the value for " + std::string(key));
        if (const char *bad = rule->set(value, result))
            return fail("value for " + std::string(key) + " " + bad);
    }
    config = std::move(result);
    return 0;
}

int config_load()
{
    // Opened without waiting, so a FIFO (or a device) at the path cannot hold the start;
    // only a regular file is read.
    unique_fd fd(open(board_path(CONFIG_PATH).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return 0;
        log_err(LOG_ERR, "CONFIG: %s: %s\n", CONFIG_PATH, std::strerror(errno));
        return -1;
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        log_err(LOG_ERR, "CONFIG: %s: not a regular file\n", CONFIG_PATH);
        return -1;
    }
    FILE *file = fdopen(fd.get(), "r");
    if (file == nullptr) {
        log_err(LOG_ERR, "CONFIG: %s: %s\n", CONFIG_PATH, std::strerror(errno));
        return -1;
    }
    fd.release();  // the stream owns it now
    std::string text;
    char chunk[4096];
    std::size_t got;
    // A configuration is a few lines; anything far larger is no configuration file.
    constexpr std::size_t largest = 64 * 1024;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() <= largest)
        text.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || text.size() > largest) {
        log_err(LOG_ERR, "CONFIG: %s: %s\n", CONFIG_PATH, failed ? "read error" : "too large");
        return -1;
    }
    if (text.find('\0') != std::string::npos) {
        log_err(LOG_ERR, "CONFIG: %s: not a text file\n", CONFIG_PATH);
        return -1;
    }
    std::string error;
    if (config_parse(text, CONFIG_PATH, loaded, error) != 0) {
        log_err(LOG_ERR, "CONFIG: %s\n", error.c_str());
        return -1;
    }
    log_out(LOG_INFO, "CONFIG: Loaded %s\n", CONFIG_PATH);
    return 0;
}

const tesmar_config &config() { return loaded; }
