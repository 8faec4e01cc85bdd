#include "wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {

// Sleeps the whole of DURATION, through signals.
void plain_sleep(std::chrono::milliseconds duration)
{
    const auto ms = duration.count();
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
}

}  // namespace

// Non-blocking, so clear() never waits; the counter is only ever read to zero it.
wake_event::wake_event() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool wake_event::sleep_for(std::chrono::milliseconds duration) const
{
    if (!fd_) {
        plain_sleep(duration);
        return true;
    }
    // The monotonic clock: a change of the wall clock neither stretches nor cuts a pause.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return !is_set();
        pollfd ready{fd_.get(), POLLIN, 0};
        const int n = poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 24LL * 3600 * 1000)));
        if (n > 0)
            return false;
        if (n == 0)
            return true;
        if (errno != EINTR)
            return !is_set();
    }
}

void wake_event::set()
{
    const std::uint64_t one = 1;
    if (fd_ && write(fd_.get(), &one, sizeof one) < 0) {
        // Only a counter at its maximum refuses: the event is set already.
    }
}

void wake_event::clear()
{
    std::uint64_t count;
    if (fd_ && read(fd_.get(), &count, sizeof count) < 0) {
        // EAGAIN: it was not set.
    }
}

bool wake_event::is_set() const
{
    if (!fd_)
        return false;
    pollfd ready{fd_.get(), POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}
