#include "mount_table.h"

#include "board_root.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The next blank- or tab-separated field of LINE at AT, moving AT past it.
std::string_view next_field(std::string_view line, std::size_t &at)
{
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t')
        ++at;
    return line.substr(start, at - start);
}

}  // namespace

std::string mount_unescape(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
            is_octal(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xff && value != 0) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

bool parse_mount_line(std::string_view line, mount_entry &entry)
{
    std::size_t at = 0;
    std::string_view fields[4];
    for (std::string_view &field : fields) {
        field = next_field(line, at);
        if (field.empty())
            return false;
    }
    entry.device = mount_unescape(fields[0]);
    entry.mount_point = mount_unescape(fields[1]);
    entry.fs_type = mount_unescape(fields[2]);
    entry.options = mount_unescape(fields[3]);
    return true;
}

std::vector<mount_entry> parse_mounts(std::string_view text)
{
    std::vector<mount_entry> entries;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        mount_entry entry;
        if (parse_mount_line(line, entry))
            entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<mount_entry> read_mounts()
{
    unique_fd fd(open(board_path("/proc/mounts").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return {};
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd.get(), chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return parse_mounts(text);
}

bool mount_is_read_only(std::string_view options)
{
    while (!options.empty()) {
        std::size_t comma = options.find(',');
        if (options.substr(0, comma) == "ro")
            return true;
        if (comma == std::string_view::npos)
            break;
        options.remove_prefix(comma + 1);
    }
    return false;
}
