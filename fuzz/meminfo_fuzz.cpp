// "/proc/meminfo" as the system snapshot reads the available memory.
#include "ctl_sysinfo.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    sysinfo_mem_available(std::string_view(reinterpret_cast<const char *>(data), size));
    return 0;
}
