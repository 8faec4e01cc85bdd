// The route table ("/proc/net/route") as the system snapshot reads its default route.
#include "ctl_sysinfo.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::uint8_t route = sysinfo_default_route(std::string_view(reinterpret_cast<const char *>(data), size));
    if (route > ROUTE_WWAN && route != ROUTE_NONE)
        __builtin_trap();
    return 0;
}
