#include "sdcard_mounts.h"

#include "board_root.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool sdcard_path_below(std::string_view path, std::string_view base)
{
    if (path.size() <= base.size() + 1 || path.substr(0, base.size()) != base || path[base.size()] != '/')
        return false;
    std::string_view rest = path.substr(base.size() + 1);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        if (component == "." || component == "..")
            return false;
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return true;
}

bool sdcard_is_card_mount(const mount_entry &entry)
{
    return entry.device.find(SDCARD_DEVICE_MATCH) != std::string::npos &&
           sdcard_path_below(entry.mount_point, SDCARD_MOUNT_BASE);
}

bool sdcard_read_mounts(std::vector<mount_entry> &entries)
{
    entries.clear();
    unique_fd fd(open(board_path("/proc/mounts").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    entries = parse_mounts(text);
    return true;
}

std::vector<mount_entry> sdcard_card_mounts()
{
    std::vector<mount_entry> entries;
    sdcard_read_mounts(entries);
    std::vector<mount_entry> cards;
    for (mount_entry &entry : entries) {
        if (sdcard_is_card_mount(entry))
            cards.push_back(std::move(entry));
    }
    return cards;
}

bool sdcard_is_card_mount_point(std::string_view path)
{
    for (const mount_entry &entry : sdcard_card_mounts()) {
        if (entry.mount_point == path)
            return true;
    }
    return false;
}
