// A simulated libgpiod (v2 interface) backed by plain files, for the simulated board
// and the tests. Only the calls the line manager makes are provided; each is compiled
// against the real gpiod.h so the signatures cannot drift. See fake_gpiod_control.h
// for the file layout.
#include "fake_gpiod_control.h"

#include <gpiod.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct gpiod_chip {
    std::string dir;
};

struct gpiod_line_settings {
    gpiod_line_direction direction = GPIOD_LINE_DIRECTION_AS_IS;
    gpiod_line_edge edge = GPIOD_LINE_EDGE_NONE;
    gpiod_line_bias bias = GPIOD_LINE_BIAS_AS_IS;
    gpiod_line_drive drive = GPIOD_LINE_DRIVE_PUSH_PULL;
    bool active_low = false;
    gpiod_line_value output_value = GPIOD_LINE_VALUE_INACTIVE;
    unsigned long debounce_us = 0;
};

struct gpiod_line_config {
    std::vector<std::pair<unsigned int, gpiod_line_settings>> lines;
};

struct gpiod_edge_event {
    gpiod_edge_event_type type = GPIOD_EDGE_EVENT_RISING_EDGE;
    std::uint64_t timestamp_ns = 0;
    unsigned int offset = 0;
    unsigned long global_seqno = 0;
    unsigned long line_seqno = 0;
};

struct gpiod_edge_event_buffer {
    std::size_t capacity = 0;
    std::vector<gpiod_edge_event> events;
};

// Edge detection, as the kernel gives it, from the line files: an inotify watch on the chip
// directory sees every write of a level (in place, as `echo 1 >` does, or renamed over it),
// and a one-shot timer emulates the kernel's debounce (an edge counts once the level has
// held for the period). All three sit in one epoll descriptor, the request's descriptor.
struct edge_detector {
    int epoll_fd = -1;
    int inotify_fd = -1;
    int timer_fd = -1;
    int more_fd = -1;  // readable while events wait beyond what a read could take
    unsigned long debounce_us = 0;
    std::map<unsigned int, int> reported;  // last level reported per edge line
    std::map<unsigned int, unsigned long> line_seqno;
    unsigned long global_seqno = 0;
    std::deque<gpiod_edge_event> pending;
};

struct gpiod_line_request {
    std::string dir;
    std::vector<std::pair<unsigned int, gpiod_line_settings>> lines;
    edge_detector edges;
};

namespace {

struct fake_state {
    std::mutex lock;
    std::map<std::string, int> failures;
    // Any failure set at all: the daemon reads its inputs ten times a second, and without
    // one a read costs no lock and no allocation, only the system calls a real read is
    // measured against.
    std::atomic<bool> failures_set{false};
    std::vector<std::string> opened;
    int open_chips = 0;
    int open_requests = 0;
};

fake_state &fake()
{
    static fake_state state;
    return state;
}

bool should_fail(const char *function)
{
    if (!fake().failures_set.load(std::memory_order_acquire))
        return false;
    std::lock_guard guard(fake().lock);
    auto it = fake().failures.find(function);
    if (it == fake().failures.end() || it->second <= 0)
        return false;
    it->second--;
    errno = EIO;
    return true;
}

std::string line_file(const std::string &dir, unsigned int offset, const char *suffix = "")
{
    return dir + "/" + std::to_string(offset) + suffix;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Replaces a file's contents in one step, so a concurrent reader never sees it empty.
bool write_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp." + std::to_string(gettid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void append_line(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = text + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

int read_level(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char c = 0;
    ssize_t n = read(fd, &c, 1);
    close(fd);
    if (n != 1 || (c != '0' && c != '1'))
        return -1;
    return c - '0';
}

long long monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

const char *direction_name(gpiod_line_direction d)
{
    switch (d) {
    case GPIOD_LINE_DIRECTION_INPUT: return "input";
    case GPIOD_LINE_DIRECTION_OUTPUT: return "output";
    default: return "as-is";
    }
}

const char *drive_name(gpiod_line_drive d)
{
    switch (d) {
    case GPIOD_LINE_DRIVE_OPEN_DRAIN: return "open-drain";
    case GPIOD_LINE_DRIVE_OPEN_SOURCE: return "open-source";
    default: return "push-pull";
    }
}

const char *bias_name(gpiod_line_bias b)
{
    switch (b) {
    case GPIOD_LINE_BIAS_PULL_UP: return "pull-up";
    case GPIOD_LINE_BIAS_PULL_DOWN: return "pull-down";
    case GPIOD_LINE_BIAS_DISABLED: return "disabled";
    default: return "as-is";
    }
}

const char *edge_name(gpiod_line_edge e)
{
    switch (e) {
    case GPIOD_LINE_EDGE_RISING: return "rising";
    case GPIOD_LINE_EDGE_FALLING: return "falling";
    case GPIOD_LINE_EDGE_BOTH: return "both";
    default: return "none";
    }
}

std::string describe(const gpiod_line_settings &s)
{
    std::string text = "direction=";
    text += direction_name(s.direction);
    text += " drive=";
    text += drive_name(s.drive);
    text += " bias=";
    text += bias_name(s.bias);
    text += " active-low=";
    text += s.active_low ? "1" : "0";
    text += " edge=";
    text += edge_name(s.edge);
    text += " value=";
    text += s.output_value == GPIOD_LINE_VALUE_ACTIVE ? "1" : "0";
    if (s.debounce_us != 0)
        text += " debounce-us=" + std::to_string(s.debounce_us);
    return text;
}

void record_transition(const std::string &dir, unsigned int offset, int level)
{
    append_line(line_file(dir, offset, ".transitions"),
                std::to_string(monotonic_ns()) + " " + std::to_string(level));
}

// The process that holds a line: the "owner=PID" line of its OFFSET.request file, or 0.
pid_t line_owner(const std::string &request_path)
{
    int fd = open(request_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[256] = {};
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    const char *owner = std::strstr(text, "\nowner=");
    return owner != nullptr ? static_cast<pid_t>(std::atol(owner + 7)) : 0;
}

// As the kernel releases a process's lines when it ends, a line held by a process that
// is gone (or only a zombie waiting for its parent) is free.
bool process_alive(pid_t pid)
{
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM))
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char stat[512] = {};
    ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    const char *state = n > 0 ? std::strrchr(stat, ')') : nullptr;
    return state == nullptr || (state[1] == ' ' && state[2] != 'Z' && state[2] != 'X');
}

// True when another live process has requested the line, which the kernel refuses.
bool held_by_another_process(const std::string &dir, unsigned int offset)
{
    pid_t owner = line_owner(line_file(dir, offset, ".request"));
    return owner != 0 && owner != getpid() && process_alive(owner);
}

const gpiod_line_settings *find_line(const gpiod_line_request *request, unsigned int offset)
{
    for (const auto &[line_offset, settings] : request->lines) {
        if (line_offset == offset)
            return &settings;
    }
    return nullptr;
}

void close_edges(edge_detector &edges)
{
    for (int *fd : {&edges.epoll_fd, &edges.inotify_fd, &edges.timer_fd, &edges.more_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

bool watch_fd(int epoll_fd, int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

// Opens the descriptors of a request with edge lines; false (errno set) when it cannot.
bool open_edges(gpiod_line_request &request)
{
    edge_detector &edges = request.edges;
    edges.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    edges.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    edges.timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    edges.more_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (edges.epoll_fd < 0 || edges.inotify_fd < 0 || edges.timer_fd < 0 || edges.more_fd < 0 ||
        inotify_add_watch(edges.inotify_fd, request.dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0 ||
        !watch_fd(edges.epoll_fd, edges.inotify_fd) || !watch_fd(edges.epoll_fd, edges.timer_fd) ||
        !watch_fd(edges.epoll_fd, edges.more_fd)) {
        int err = errno;
        close_edges(edges);
        errno = err;
        return false;
    }
    for (const auto &[offset, settings] : request.lines) {
        if (settings.edge == GPIOD_LINE_EDGE_NONE)
            continue;
        edges.reported[offset] = read_level(line_file(request.dir, offset).c_str());
        edges.debounce_us = std::max(edges.debounce_us, settings.debounce_us);
    }
    return true;
}

// Queues an edge when the line's level differs from the last one reported. A line whose
// reads fail (OFFSET.fail-read) gives no edges either.
void note_level(gpiod_line_request &request, unsigned int offset)
{
    edge_detector &edges = request.edges;
    const gpiod_line_settings *settings = find_line(&request, offset);
    if (settings == nullptr || settings->edge == GPIOD_LINE_EDGE_NONE ||
        exists(line_file(request.dir, offset, ".fail-read")))
        return;
    const int level = read_level(line_file(request.dir, offset).c_str());
    int &reported = edges.reported[offset];
    if (level < 0 || level == reported)
        return;
    reported = level;
    const bool rising = level == 1;
    if ((rising && settings->edge == GPIOD_LINE_EDGE_FALLING) || (!rising && settings->edge == GPIOD_LINE_EDGE_RISING))
        return;
    gpiod_edge_event event;
    event.type = rising ? GPIOD_EDGE_EVENT_RISING_EDGE : GPIOD_EDGE_EVENT_FALLING_EDGE;
    event.timestamp_ns = static_cast<std::uint64_t>(monotonic_ns());
    event.offset = offset;
    event.global_seqno = ++edges.global_seqno;
    event.line_seqno = ++edges.line_seqno[offset];
    edges.pending.push_back(event);
}

// Takes in what the descriptors say: writes of edge lines, and an ended debounce period.
void collect_edges(gpiod_line_request &request)
{
    edge_detector &edges = request.edges;
    std::uint64_t count = 0;
    while (read(edges.more_fd, &count, sizeof count) > 0) {
    }
    bool written = false;
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(edges.inotify_fd, buffer, sizeof buffer)) > 0) {
        for (char *p = buffer; p < buffer + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            p += sizeof(inotify_event) + event->len;
            if (event->len == 0)
                continue;
            char *end = nullptr;
            const unsigned long offset = std::strtoul(event->name, &end, 10);
            if (end == event->name || *end != '\0' || edges.reported.count(static_cast<unsigned>(offset)) == 0)
                continue;
            written = true;
            if (edges.debounce_us == 0)
                note_level(request, static_cast<unsigned>(offset));
        }
    }
    if (written && edges.debounce_us != 0) {
        // Each write starts the period again, so a bouncing contact gives one edge.
        itimerspec period{};
        period.it_value.tv_sec = static_cast<time_t>(edges.debounce_us / 1000000);
        period.it_value.tv_nsec = static_cast<long>(edges.debounce_us % 1000000) * 1000;
        timerfd_settime(edges.timer_fd, 0, &period, nullptr);
    }
    if (read(edges.timer_fd, &count, sizeof count) > 0) {
        for (const auto &[offset, level] : edges.reported)
            note_level(request, offset);
    }
}

}  // namespace

void fake_gpiod_fail_next(const std::string &function, int count)
{
    std::lock_guard guard(fake().lock);
    fake().failures[function] = count;
    fake().failures_set.store(true, std::memory_order_release);
}

std::vector<std::string> fake_gpiod_opened_chips()
{
    std::lock_guard guard(fake().lock);
    return fake().opened;
}

int fake_gpiod_open_chip_count()
{
    std::lock_guard guard(fake().lock);
    return fake().open_chips;
}

int fake_gpiod_open_request_count()
{
    std::lock_guard guard(fake().lock);
    return fake().open_requests;
}

void fake_gpiod_reset()
{
    std::lock_guard guard(fake().lock);
    fake().failures.clear();
    fake().failures_set.store(false, std::memory_order_release);
    fake().opened.clear();
}

extern "C" {

gpiod_chip *gpiod_chip_open(const char *path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    {
        std::lock_guard guard(fake().lock);
        fake().opened.emplace_back(path);
    }
    if (should_fail("gpiod_chip_open"))
        return nullptr;
    struct stat st;
    if (stat(path, &st) != 0)
        return nullptr;  // errno from stat, ENOENT for a missing chip
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTTY;  // what the kernel says for a path that is no GPIO chip
        return nullptr;
    }
    append_line(std::string(path) + "/chip.log", "open");
    {
        std::lock_guard guard(fake().lock);
        fake().open_chips++;
    }
    return new gpiod_chip{path};
}

void gpiod_chip_close(gpiod_chip *chip)
{
    if (chip == nullptr)
        return;
    append_line(chip->dir + "/chip.log", "close");
    {
        std::lock_guard guard(fake().lock);
        fake().open_chips--;
    }
    delete chip;
}

gpiod_line_settings *gpiod_line_settings_new(void)
{
    if (should_fail("gpiod_line_settings_new"))
        return nullptr;
    return new gpiod_line_settings{};
}

void gpiod_line_settings_free(gpiod_line_settings *settings)
{
    delete settings;
}

int gpiod_line_settings_set_direction(gpiod_line_settings *settings, gpiod_line_direction direction)
{
    settings->direction = direction;
    return 0;
}

int gpiod_line_settings_set_edge_detection(gpiod_line_settings *settings, gpiod_line_edge edge)
{
    settings->edge = edge;
    return 0;
}

int gpiod_line_settings_set_bias(gpiod_line_settings *settings, gpiod_line_bias bias)
{
    settings->bias = bias;
    return 0;
}

int gpiod_line_settings_set_drive(gpiod_line_settings *settings, gpiod_line_drive drive)
{
    settings->drive = drive;
    return 0;
}

void gpiod_line_settings_set_debounce_period_us(gpiod_line_settings *settings, unsigned long period)
{
    settings->debounce_us = period;
}

void gpiod_line_settings_set_active_low(gpiod_line_settings *settings, bool active_low)
{
    settings->active_low = active_low;
}

int gpiod_line_settings_set_output_value(gpiod_line_settings *settings, gpiod_line_value value)
{
    settings->output_value = value;
    return 0;
}

gpiod_line_config *gpiod_line_config_new(void)
{
    if (should_fail("gpiod_line_config_new"))
        return nullptr;
    return new gpiod_line_config{};
}

void gpiod_line_config_free(gpiod_line_config *config)
{
    delete config;
}

int gpiod_line_config_add_line_settings(gpiod_line_config *config, const unsigned int *offsets,
                                        size_t num_offsets, gpiod_line_settings *settings)
{
    if (should_fail("gpiod_line_config_add_line_settings"))
        return -1;
    if (config == nullptr || offsets == nullptr || num_offsets == 0) {
        errno = EINVAL;
        return -1;
    }
    gpiod_line_settings copy = settings != nullptr ? *settings : gpiod_line_settings{};
    for (size_t i = 0; i < num_offsets; i++)
        config->lines.emplace_back(offsets[i], copy);
    return 0;
}

gpiod_line_request *gpiod_chip_request_lines(gpiod_chip *chip, gpiod_request_config *,
                                             gpiod_line_config *config)
{
    if (should_fail("gpiod_chip_request_lines"))
        return nullptr;
    if (chip == nullptr || config == nullptr || config->lines.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    bool edges = false;
    for (const auto &[offset, settings] : config->lines) {
        if (exists(line_file(chip->dir, offset, ".fail-request")) || held_by_another_process(chip->dir, offset)) {
            errno = EBUSY;
            return nullptr;
        }
        if (settings.edge != GPIOD_LINE_EDGE_NONE) {
            // As the kernel answers for a line without an interrupt.
            if (exists(line_file(chip->dir, offset, ".no-edge"))) {
                errno = ENXIO;
                return nullptr;
            }
            edges = true;
        }
    }
    for (const auto &[offset, settings] : config->lines) {
        const std::string level_path = line_file(chip->dir, offset);
        if (settings.direction == GPIOD_LINE_DIRECTION_OUTPUT) {
            int level = settings.output_value == GPIOD_LINE_VALUE_ACTIVE ? 1 : 0;
            write_file(level_path, std::to_string(level));
            record_transition(chip->dir, offset, level);
        } else if (!exists(level_path)) {
            // An unconnected input floats to its bias.
            int level = settings.bias == GPIOD_LINE_BIAS_PULL_DOWN ? 0 : 1;
            write_file(level_path, std::to_string(level));
        }
        write_file(line_file(chip->dir, offset, ".request"),
                   describe(settings) + "\nowner=" + std::to_string(getpid()) + "\n");
    }
    auto *request = new gpiod_line_request{chip->dir, config->lines, {}};
    if (edges && !open_edges(*request)) {
        int err = errno;
        for (const auto &[offset, settings] : config->lines)
            unlink(line_file(chip->dir, offset, ".request").c_str());
        delete request;
        errno = err;
        return nullptr;
    }
    {
        std::lock_guard guard(fake().lock);
        fake().open_requests++;
    }
    return request;
}

void gpiod_line_request_release(gpiod_line_request *request)
{
    if (request == nullptr)
        return;
    for (const auto &[offset, settings] : request->lines)
        unlink(line_file(request->dir, offset, ".request").c_str());
    close_edges(request->edges);
    {
        std::lock_guard guard(fake().lock);
        fake().open_requests--;
    }
    delete request;
}

int gpiod_line_request_get_fd(gpiod_line_request *request)
{
    if (request == nullptr || request->edges.epoll_fd < 0) {
        errno = EINVAL;
        return -1;
    }
    return request->edges.epoll_fd;
}

// Unlike the kernel's, never blocks: it returns 0 when the descriptor woke for a write
// that changed no level, or for one still inside its debounce period.
int gpiod_line_request_read_edge_events(gpiod_line_request *request, gpiod_edge_event_buffer *buffer,
                                        size_t max_events)
{
    if (should_fail("gpiod_line_request_read_edge_events"))
        return -1;
    if (request == nullptr || buffer == nullptr || request->edges.epoll_fd < 0) {
        errno = EINVAL;
        return -1;
    }
    edge_detector &edges = request->edges;
    collect_edges(*request);
    buffer->events.clear();
    const std::size_t take = std::min({max_events, buffer->capacity, edges.pending.size()});
    for (std::size_t i = 0; i < take; i++) {
        buffer->events.push_back(edges.pending.front());
        edges.pending.pop_front();
    }
    if (!edges.pending.empty()) {
        const std::uint64_t one = 1;
        ssize_t n = write(edges.more_fd, &one, sizeof one);
        (void)n;
    }
    return static_cast<int>(take);
}

gpiod_edge_event_buffer *gpiod_edge_event_buffer_new(size_t capacity)
{
    if (capacity == 0)
        capacity = 64;
    auto *buffer = new gpiod_edge_event_buffer{};
    buffer->capacity = capacity;
    buffer->events.reserve(capacity);
    return buffer;
}

void gpiod_edge_event_buffer_free(gpiod_edge_event_buffer *buffer)
{
    delete buffer;
}

gpiod_edge_event *gpiod_edge_event_buffer_get_event(gpiod_edge_event_buffer *buffer, unsigned long index)
{
    if (buffer == nullptr || index >= buffer->events.size())
        return nullptr;
    return &buffer->events[index];
}

gpiod_edge_event_type gpiod_edge_event_get_event_type(gpiod_edge_event *event)
{
    return event->type;
}

uint64_t gpiod_edge_event_get_timestamp_ns(gpiod_edge_event *event)
{
    return event->timestamp_ns;
}

unsigned int gpiod_edge_event_get_line_offset(gpiod_edge_event *event)
{
    return event->offset;
}

gpiod_line_value gpiod_line_request_get_value(gpiod_line_request *request, unsigned int offset)
{
    if (should_fail("gpiod_line_request_get_value"))
        return GPIOD_LINE_VALUE_ERROR;
    if (request == nullptr || find_line(request, offset) == nullptr) {
        errno = EINVAL;
        return GPIOD_LINE_VALUE_ERROR;
    }
    // Built in place: see failures_set.
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "%s/%u.fail-read", request->dir.c_str(), offset);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        errno = ENAMETOOLONG;
        return GPIOD_LINE_VALUE_ERROR;
    }
    struct stat knob;
    if (stat(path, &knob) == 0) {
        errno = EIO;
        return GPIOD_LINE_VALUE_ERROR;
    }
    path[length - static_cast<int>(std::strlen(".fail-read"))] = '\0';
    int level = read_level(path);
    if (level < 0) {
        errno = EIO;
        return GPIOD_LINE_VALUE_ERROR;
    }
    return level == 1 ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
}

int gpiod_line_request_set_value(gpiod_line_request *request, unsigned int offset,
                                 gpiod_line_value value)
{
    if (should_fail("gpiod_line_request_set_value"))
        return -1;
    const gpiod_line_settings *settings = request != nullptr ? find_line(request, offset) : nullptr;
    if (settings == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (settings->direction != GPIOD_LINE_DIRECTION_OUTPUT) {
        errno = EPERM;
        return -1;
    }
    if (exists(line_file(request->dir, offset, ".fail-write"))) {
        errno = EIO;
        return -1;
    }
    int level = value == GPIOD_LINE_VALUE_ACTIVE ? 1 : 0;
    if (!write_file(line_file(request->dir, offset), std::to_string(level)))
        return -1;
    record_transition(request->dir, offset, level);
    return 0;
}

}  // extern "C"
