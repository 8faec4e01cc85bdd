// The kernel's mount table, as read by every module that looks for the card, and the
// snapshot's choice of the mount it measures.
#include "ctl_sysinfo.h"
#include "mount_table.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<mount_entry> entries = parse_mounts(text);
    for (const mount_entry &entry : entries) {
        // Unescaping only ever shortens a field.
        if (mount_unescape(entry.mount_point).size() > entry.mount_point.size())
            __builtin_trap();
        mount_is_read_only(entry.options);
    }
    std::string chosen = sysinfo_sd_mount(entries);
    if (!chosen.empty() && !chosen.starts_with("/home/pi"))
        __builtin_trap();
    return 0;
}
