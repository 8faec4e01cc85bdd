#include "change_feed.h"

namespace {

std::atomic<change_sink> feed_sink{nullptr};

}  // namespace

void change_feed_set_sink(change_sink sink)
{
    feed_sink.store(sink);
}

void change_post(int kind, int id, int value)
{
    if (change_sink sink = feed_sink.load(std::memory_order_acquire))
        sink(kind, id, value);
}
