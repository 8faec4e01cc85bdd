// The link state file's text to the two switches.
#include "link_state_file.h"

#include <cctype>
#include <charconv>
#include <system_error>

namespace {

// One integer as "%d" reads it: leading white space, an optional sign, digits. A number
// beyond int counts as no number (fscanf's behaviour there is undefined).
bool read_int(const char *&at, const char *end, int &value)
{
    while (at < end && std::isspace(static_cast<unsigned char>(*at)))
        at++;
    if (at < end && *at == '+' && at + 1 < end && *(at + 1) != '-')
        at++;
    auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc())
        return false;
    at = next;
    return true;
}

}  // namespace

int link_parse_state(const char *text, std::size_t length, int *enabled_4g, int *enabled_wifi)
{
    const char *at = text;
    const char *end = text + length;
    int first = 0;
    int second = 0;
    if (text == nullptr || !read_int(at, end, first) || !read_int(at, end, second)) {
        *enabled_4g = 0;
        *enabled_wifi = 0;
        return -1;
    }
    // A switch is on or off: a stray 256 must not be on for the worker while a status
    // reply, which carries one byte, reads it as off.
    *enabled_4g = first != 0 ? 1 : 0;
    *enabled_wifi = second != 0 ? 1 : 0;
    return 0;
}
