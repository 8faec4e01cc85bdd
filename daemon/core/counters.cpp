#include "counters.h"

#include <atomic>

namespace {

// Relaxed: each counter stands alone, and a reader needs no order between them.
std::atomic<std::uint64_t> counters[COUNTER_KNOWN];

}  // namespace

void counter_add(std::uint8_t id)
{
    if (id < COUNTER_KNOWN)
        counters[id].fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t counter_get(std::uint8_t id)
{
    return id < COUNTER_KNOWN ? counters[id].load(std::memory_order_relaxed) : 0;
}

void counters_record(CountersRecord &record)
{
    record = CountersRecord{};
    record.version = COUNTERS_VERSION;
    record.count = COUNTER_KNOWN;
    for (std::uint8_t id = 0; id < COUNTER_KNOWN; id++)
        record.values[id] = counter_get(id);
}
