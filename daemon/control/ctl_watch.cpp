#include "ctl_watch.h"
#include "log.h"
#include "thread_name.h"

#include "board_root.h"
#include "change_feed.h"
#include "ctl_dispatch.h"
#include "ctl_protocol.h"
#include "input.h"
#include "link.h"
#include "sdcard_mounts.h"
#include "sdcard_recovery.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/vfs.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int LINK_COUNT = 2;

struct watcher {
    unique_fd fd;
    // A ring; its records are left uninitialized until used.
    std::array<WatchRecord, CTL_WATCH_QUEUE> queue;
    std::size_t head = 0;
    std::size_t size = 0;
    std::size_t sent = 0;  // bytes of the head record already sent
    std::uint32_t sequence = 0;
    bool lost = false;     // the queue overflowed: a WATCH_LOST record and the values are due
    bool closed = false;
};

template <class T>
using known = std::optional<T>;

// The values the streams have last been told of; a post that changes none of them sends
// nothing. Kept from the first watcher on, for the life of the process.
struct watched_values {
    known<int> input[4];
    known<int> switch_on[LINK_COUNT];
    known<int> link_state[LINK_COUNT];  // the link_state posted
    known<int> wifi_attempts;
    known<int> link_report[LINK_COUNT];
    known<int> card_state;
    known<std::string> mount_point;  // empty: no card mount
};

struct watch_state {
    bool active = false;  // the sink is in and the values filled
    watched_values values;
    std::vector<std::unique_ptr<watcher>> watchers;
    unique_fd wake;
    std::thread thread;
    bool running = false;
} watch;

// Guards watch. Taken by posting threads with their own module's lock held, so nothing
// is called with it held but this file's own code and the socket's non-blocking sends.
std::mutex watch_lock;

std::uint64_t monotonic_ns()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

WatchRecord make_record(std::uint8_t kind, int id, int value, const std::string *mount = nullptr)
{
    WatchRecord r{};
    r.version = WATCH_VERSION;
    r.kind = kind;
    r.id = static_cast<std::uint8_t>(id);
    r.value = static_cast<std::uint8_t>(value);
    r.time_ns = monotonic_ns();
    if (mount != nullptr && mount->size() < sizeof r.mount_point)
        std::memcpy(r.mount_point, mount->c_str(), mount->size() + 1);
    return r;
}

void wake_thread()
{
    const std::uint64_t one = 1;
    if (watch.wake) {
        ssize_t n = write(watch.wake.get(), &one, sizeof one);
        (void)n;
    }
}

// With watch_lock held.
void push(watcher &w, const WatchRecord &record)
{
    if (w.lost || w.closed)
        return;
    if (w.size == CTL_WATCH_QUEUE) {
        // Keep only a record already begun, so the stream stays in step.
        w.size = w.sent != 0 ? 1 : 0;
        w.lost = true;
        return;
    }
    w.queue[(w.head + w.size) % CTL_WATCH_QUEUE] = record;
    w.size++;
}

// Every known value, as a stream begins or resumes. With watch_lock held.
void push_values(watcher &w)
{
    const watched_values &v = watch.values;
    for (int id = 0; id < 4; id++)
        if (v.input[id])
            push(w, make_record(WATCH_INPUT, id, *v.input[id]));
    for (int id = 0; id < LINK_COUNT; id++)
        if (v.switch_on[id])
            push(w, make_record(WATCH_SWITCH, id, *v.switch_on[id] != 0 ? 1 : 0));
    for (int id = 0; id < LINK_COUNT; id++)
        if (v.link_report[id])
            push(w, make_record(WATCH_LINK, id, *v.link_report[id]));
    if (v.card_state)
        push(w, make_record(WATCH_CARD_STATE, 0, *v.card_state));
    if (v.mount_point)
        push(w, make_record(WATCH_CARD_MOUNT, 0, v.mount_point->empty() ? 0 : 1, &*v.mount_point));
}

void tell_all(const WatchRecord &record)
{
    if (watch.watchers.empty())
        return;
    for (auto &w : watch.watchers)
        push(*w, record);
    wake_thread();
}

// Stores VALUE and tells the streams when it is news. With watch_lock held.
void note(known<int> &slot, std::uint8_t kind, int id, int value)
{
    if (slot == value)
        return;
    slot = value;
    tell_all(make_record(kind, id, value));
}

void note_link(int id)
{
    const watched_values &v = watch.values;
    if (!v.link_state[id] || !v.switch_on[id] || (id == 1 && !v.wifi_attempts))
        return;
    const int report = id == 0 ? ctl_link_report_4g(*v.link_state[0], *v.switch_on[0])
                               : ctl_link_report_wifi(*v.link_state[1], *v.wifi_attempts);
    note(watch.values.link_report[id], WATCH_LINK, id, report);
}

void note_mount(const std::string &point)
{
    if (watch.values.mount_point == point)
        return;
    watch.values.mount_point = point;
    tell_all(make_record(WATCH_CARD_MOUNT, 0, point.empty() ? 0 : 1, &point));
}

void on_change(int kind, int id, int value)
{
    std::lock_guard guard(watch_lock);
    if (!watch.active)
        return;
    watched_values &v = watch.values;
    const bool link_id = id == 0 || id == 1;
    switch (kind) {
    case CHANGE_INPUT:
        if (id >= 0 && id < 4)
            note(v.input[id], WATCH_INPUT, id, value);
        break;
    case CHANGE_SWITCH:
        if (link_id) {
            note(v.switch_on[id], WATCH_SWITCH, id, value != 0 ? 1 : 0);
            note_link(id);
        }
        break;
    case CHANGE_LINK_STATE:
        if (link_id) {
            v.link_state[id] = value;
            note_link(id);
        }
        break;
    case CHANGE_LINK_ATTEMPTS:
        if (id == 1) {
            v.wifi_attempts = value;
            note_link(1);
        }
        break;
    case CHANGE_CARD_STATE:
        note(v.card_state, WATCH_CARD_STATE, 0, value);
        break;
    default:
        break;
    }
}

std::string card_mount_point()
{
    const std::vector<mount_entry> cards = sdcard_card_mounts();
    return cards.empty() ? std::string() : cards.front().mount_point;
}

// Turns the feed on, then reads what it may have missed: a value posted meanwhile is
// newer than the one read, so a read fills only what no post has set.
void activate()
{
    // Held through the reads, so a second watcher's first values wait for them.
    static std::mutex activate_lock;
    std::lock_guard once(activate_lock);
    {
        std::lock_guard guard(watch_lock);
        if (watch.active)
            return;
        watch.active = true;
    }
    change_feed_set_sink(on_change);
    int inputs[4];
    for (int id = 0; id < 4; id++)
        inputs[id] = input_get_cached(id);
    const link_snapshot links = link_get_snapshot();
    const int card_state = static_cast<int>(sdcard_recovery_get_state());
    const std::string mount = card_mount_point();

    std::lock_guard guard(watch_lock);
    watched_values &v = watch.values;
    for (int id = 0; id < 4; id++)
        if (!v.input[id] && inputs[id] >= 0)
            v.input[id] = inputs[id];
    const int switches[LINK_COUNT] = {links.switch_4g != 0 ? 1 : 0, links.switch_wifi != 0 ? 1 : 0};
    const int states[LINK_COUNT] = {links.state_4g, links.state_wifi};
    for (int id = 0; id < LINK_COUNT; id++) {
        if (!v.switch_on[id])
            v.switch_on[id] = switches[id];
        if (!v.link_state[id])
            v.link_state[id] = states[id];
    }
    if (!v.wifi_attempts)
        v.wifi_attempts = links.attempts_wifi;
    note_link(0);
    note_link(1);
    if (!v.card_state)
        v.card_state = card_state;
    if (!v.mount_point)
        v.mount_point = mount;
}

// Sends what the socket takes now. With watch_lock held; never blocks.
void flush(watcher &w)
{
    while (!w.closed) {
        if (w.size == 0) {
            if (!w.lost)
                return;
            w.lost = false;
            push(w, make_record(WATCH_LOST, 0, 0));
            push_values(w);
        }
        // Numbered as they go out, so a dropped queue leaves no gap.
        if (w.sent == 0)
            w.queue[w.head].sequence = w.sequence++;
        const auto *bytes = reinterpret_cast<const char *>(&w.queue[w.head]);
        ssize_t n = send(w.fd.get(), bytes + w.sent, sizeof(WatchRecord) - w.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (w.sent == 0)
                w.sequence--;  // numbered again when it does go
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                w.closed = true;
            return;
        }
        w.sent += static_cast<std::size_t>(n);
        if (w.sent == sizeof(WatchRecord)) {
            w.sent = 0;
            w.head = (w.head + 1) % CTL_WATCH_QUEUE;
            w.size--;
        }
    }
}

// The mount table tells of a change: procfs by POLLPRI on the table itself, a plain file
// (a board root's table) through inotify on its directory.
struct mount_watch {
    unique_fd fd;
    short events = 0;
    std::string name;  // the table's file name, for inotify
};

mount_watch open_mount_watch()
{
    mount_watch m;
    const std::string path = board_path("/proc/mounts");
    unique_fd table(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct statfs fs{};
    if (table && fstatfs(table.get(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) {
        m.fd = std::move(table);
        m.events = POLLPRI;
        return m;
    }
    const std::size_t slash = path.rfind('/');
    m.name = path.substr(slash + 1);
    m.fd.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m.fd || inotify_add_watch(m.fd.get(), path.substr(0, slash).c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        log_err(LOG_WARNING, "SOCKET: Cannot watch %s for mounts: %s\n", path.c_str(), strerror(errno));
        m.fd.reset();
    }
    m.events = POLLIN;
    return m;
}

// True when the event names the table (always, for procfs).
bool mount_changed(mount_watch &m)
{
    if (m.events == POLLPRI)
        return true;
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(m.fd.get(), buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            p += sizeof(inotify_event) + event->len;
            changed = changed || (event->len > 0 && m.name == event->name);
        }
    }
    return changed;
}

void watch_thread()
{
    thread_name("ctl-watch");
    mount_watch mounts = open_mount_watch();
    {
        // A mount that came or went while no thread watched.
        const std::string point = card_mount_point();
        std::lock_guard guard(watch_lock);
        note_mount(point);
    }
    std::vector<pollfd> fds;
    std::vector<watcher *> polled;
    while (true) {
        fds.clear();
        polled.clear();
        fds.push_back(pollfd{watch.wake.get(), POLLIN, 0});
        fds.push_back(pollfd{mounts.fd.get(), mounts.events, 0});
        {
            std::lock_guard guard(watch_lock);
            if (!watch.running)
                break;
            for (auto &w : watch.watchers) {
                const bool pending = w->size != 0 || w->lost;
                fds.push_back(pollfd{w->fd.get(), static_cast<short>(POLLIN | POLLRDHUP | (pending ? POLLOUT : 0)), 0});
                polled.push_back(w.get());
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            log_err(LOG_ERR, "SOCKET: Watch poll failed: %s\n", strerror(errno));
            break;
        }
        std::uint64_t count;
        while (read(watch.wake.get(), &count, sizeof count) > 0) {
        }
        if (fds[1].revents != 0 && mount_changed(mounts)) {
            const std::string point = card_mount_point();
            std::lock_guard guard(watch_lock);
            note_mount(point);
        }
        std::lock_guard guard(watch_lock);
        for (std::size_t i = 0; i < polled.size(); i++) {
            const short revents = fds[i + 2].revents;
            if ((revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0) {
                polled[i]->closed = true;
            } else if ((revents & POLLIN) != 0) {
                // A stream carries no more requests: what a watcher sends is dropped.
                char scratch[256];
                ssize_t n = recv(polled[i]->fd.get(), scratch, sizeof scratch, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                    polled[i]->closed = true;
            }
        }
        for (auto &w : watch.watchers)
            flush(*w);
        std::erase_if(watch.watchers, [](const std::unique_ptr<watcher> &w) { return w->closed; });
    }
}

void refuse(int fd)
{
    ControlReply reply{};
    reply.status = STATUS_FAILED;
    reply.data[0] = WATCH_REFUSED_FULL;
    send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

void ctl_watch_adopt(int fd)
{
    activate();
    unique_fd own(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    std::lock_guard guard(watch_lock);
    if (!own || static_cast<int>(watch.watchers.size()) >= CTL_WATCH_MAX) {
        refuse(fd);
        return;
    }
    if (!watch.wake)
        watch.wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!watch.running) {
        if (!watch.wake) {
            refuse(fd);
            return;
        }
        watch.running = true;
        try {
            watch.thread = std::thread(watch_thread);
        } catch (const std::system_error &) {
            watch.running = false;
            log_err(LOG_ERR, "SOCKET: Failed to create watch thread\n");
            refuse(fd);
            return;
        }
    }
    // A fresh socket's buffer always takes the 16 bytes.
    ControlReply reply{};
    reply.status = STATUS_OK;
    reply.data[0] = WATCH_VERSION;
    reply.data[1] = sizeof(WatchRecord);
    send(own.get(), &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
    // A small send buffer, so a stalled watcher pins little kernel memory and falls behind
    // (and is told so) after a few hundred records rather than a few thousand.
    const int send_buffer = CTL_WATCH_SEND_BUFFER;
    setsockopt(own.get(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    auto w = std::unique_ptr<watcher>(new watcher);
    w->fd = std::move(own);
    push_values(*w);
    watch.watchers.push_back(std::move(w));
    wake_thread();
}

void ctl_watch_stop()
{
    std::thread thread;
    {
        std::lock_guard guard(watch_lock);
        watch.running = false;
        thread = std::move(watch.thread);
        wake_thread();
    }
    if (thread.joinable())
        thread.join();
    std::lock_guard guard(watch_lock);
    watch.watchers.clear();
}

int ctl_watch_count()
{
    std::lock_guard guard(watch_lock);
    return static_cast<int>(watch.watchers.size());
}
