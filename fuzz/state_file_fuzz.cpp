// The link state file as the daemon reads it at start: any bytes, no terminator.
#include "link_state_file.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    int enabled_4g = -1;
    int enabled_wifi = -1;
    int result = link_parse_state(reinterpret_cast<const char *>(data), size, &enabled_4g, &enabled_wifi);
    // Whatever the file holds, each switch loads as 0 or 1.
    if ((result != 0 && result != -1) || (enabled_4g != 0 && enabled_4g != 1) || (enabled_wifi != 0 && enabled_wifi != 1))
        std::abort();
    return 0;
}
