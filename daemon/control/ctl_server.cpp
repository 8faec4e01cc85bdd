#include "ctl_server.h"
#include "thread_name.h"
#include "log.h"

#include "board_root.h"
#include "ctl_dispatch.h"
#include "ctl_watch.h"
#include "unique_fd.h"
#include "watchdog.h"

#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// A connection thread's own record, linked into the server's list while the thread holds
// its descriptor, so that shutdown can wake a thread waiting on a silent peer. It lives in
// the thread's frame: tracking a connection allocates nothing.
struct ctl_connection {
    int fd = -1;
    // Monotonic nanoseconds at which the thread began sending its current reply; 0 while
    // it is not sending. A stop lets a reply go out, but not to a peer that never reads.
    std::atomic<std::int64_t> sending_since{0};
    ctl_connection *prev = nullptr;
    ctl_connection *next = nullptr;
};

struct ctl_server_state {
    std::atomic<int> listen_fd{-1};     // ctl_listen_fd
    std::atomic<bool> running{false};   // ctl_running
    pthread_t accept_thread{};
    std::string socket_path;            // as resolved under the board root

    // Guards the fields below. Connection threads are counted from the moment the accept
    // thread decides to create one, so that none can slip past the shutdown's drain.
    std::mutex connections_lock;
    std::condition_variable connections_done;
    int connection_count = 0;
    ctl_connection *connections = nullptr;
    // The cap in force, fixed at init from the limits and the descriptor limit.
    int connection_cap = CTL_MAX_CONNECTIONS;
    // Set while new clients are refused, so the log says so once per busy spell.
    bool refusing = false;
    ctl_server_limits limits;
} ctl_server;

// Descriptors kept for the daemon itself however many clients come: GPIO chips and line
// requests, LED and sysfs files, notify sockets, children's pipes, the monitor's watchers.
constexpr rlim_t RESERVED_DESCRIPTORS = 256;
// Never fewer slots than this, even under a tiny descriptor limit: the board's own tools
// must still get through.
constexpr int MIN_CONNECTIONS = 4;
// Each connection thread needs little stack (its records are a few hundred bytes); the
// default 8 MiB would reserve a gigabyte of address space at the cap.
constexpr std::size_t CONNECTION_STACK = 512 * 1024;

// How long a stop lets a reply wait for a peer that has stopped reading; after that the
// connection is cut, so such a peer cannot hold the daemon up.
constexpr std::chrono::milliseconds REPLY_GRACE{1000};
// How often the stop looks for such replies while it waits for the connection threads.
constexpr std::chrono::milliseconds DRAIN_LOOK{100};

std::int64_t monotonic_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Members of this group may use the socket; the daemon itself stays root.
constexpr const char *CTL_SOCKET_GROUP = "tesmar_gpio";

// Sets the socket at PATH to mode 0600 and, when CTL_SOCKET_GROUP exists, gives it to that
// group with mode 0660 (its owner stays the daemon's, root). The umask the daemon was
// started with plays no part: under umask 000 the socket would be anyone's. Called before
// listen, so no client can connect while the mode is still being set. False when the
// socket's mode cannot be set.
bool share_with_group(const std::string &path)
{
    if (chmod(path.c_str(), 0600) < 0) {
        log_err(LOG_ERR, "SOCKET: Cannot set the socket's mode: %s\n", strerror(errno));
        return false;
    }
    group entry;
    group *found = nullptr;
    char buffer[16384];  // the group's members too
    int err = getgrnam_r(CTL_SOCKET_GROUP, &entry, buffer, sizeof buffer, &found);
    if (err != 0)
        log_err(LOG_WARNING, "SOCKET: Cannot look up group %s: %s\n", CTL_SOCKET_GROUP, strerror(err));
    if (found == nullptr)
        return true;
    if (chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) < 0 || chmod(path.c_str(), 0660) < 0)
        log_err(LOG_WARNING, "SOCKET: Cannot give the socket to group %s: %s\n", CTL_SOCKET_GROUP, strerror(errno));
    return true;
}

// Resource shortages make accept fail again at once; pausing keeps the retry loop from
// spinning on a processor until a descriptor or some memory is free again.
constexpr useconds_t ACCEPT_RETRY_PAUSE_US = 100'000;

bool accept_error_is_shortage(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Fills ADDRESS for PATH; false when the path does not fit a Unix address, rather than
// binding or connecting to a truncated path.
bool fill_address(const std::string &path, sockaddr_un &address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Registers a new connection thread. One that begins after the stop has woken the others
// wakes itself the same way: a request its peer sent before the stop is still answered,
// and none can follow.
void track(ctl_connection &connection)
{
    std::lock_guard lock(ctl_server.connections_lock);
    if (!ctl_server.running.load())
        shutdown(connection.fd, SHUT_RD);
    connection.next = ctl_server.connections;
    if (connection.next != nullptr)
        connection.next->prev = &connection;
    ctl_server.connections = &connection;
}

// Unlinks the connection and closes its descriptor under the lock, so shutdown never
// touches a descriptor number that has already been closed and reused.
void finish(ctl_connection &connection, bool tracked)
{
    std::lock_guard lock(ctl_server.connections_lock);
    if (tracked) {
        if (connection.prev != nullptr)
            connection.prev->next = connection.next;
        else
            ctl_server.connections = connection.next;
        if (connection.next != nullptr)
            connection.next->prev = connection.prev;
    }
    close(connection.fd);
    if (--ctl_server.connection_count == 0)
        ctl_server.connections_done.notify_all();
}

// Waits until FD has something to read (or has been shut down) for at most WAIT; false
// when the wait ran out first.
bool request_arrives(int fd, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        int n = poll(&ready, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return n != 0;
    }
}

// Requests strictly one after the other, until the peer closes, stays silent past the
// request wait, or the server stops.
void serve(ctl_connection &connection)
{
    const int fd = connection.fd;
    while (true) {
        // A silent peer would hold its slot for ever; one that wants to keep its
        // connection asks again within the wait.
        if (!request_arrives(fd, ctl_server.limits.request_wait))
            return;
        ControlRequest request{};
        ssize_t got = recv(fd, &request, sizeof request, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        if (got == sizeof request && request.cmd == CMD_WATCH) {
            ctl_watch_adopt(fd);  // the stream leaves this thread and the connection count
            return;
        }

        ctl_reply reply{};
        std::size_t size = static_cast<std::size_t>(got) < sizeof request ? ctl_bad_length(reply)
                                                                            : ctl_dispatch(request, reply);
        // A peer that has gone must not raise SIGPIPE; the failed send needs no handling,
        // the next receive ends the connection.
        connection.sending_since.store(monotonic_ns());
        send(fd, &reply, size, MSG_NOSIGNAL);
        connection.sending_since.store(0);

        if (!ctl_server.running.load())
            return;
    }
}

void *ctl_client_thread(void *cell)
{
    thread_name("ctl-client");
    ctl_connection connection;
    connection.fd = static_cast<int>(reinterpret_cast<std::intptr_t>(cell));
    track(connection);
    serve(connection);
    finish(connection, true);
    return nullptr;
}

// Takes a slot for a new connection; false at the cap. The slot is given back when the
// connection's thread ends (finish).
bool take_slot()
{
    std::lock_guard lock(ctl_server.connections_lock);
    if (ctl_server.connection_count >= ctl_server.connection_cap) {
        if (!ctl_server.refusing)
            log_err(LOG_WARNING, "SOCKET: %d connections open, refusing new clients\n", ctl_server.connection_count);
        ctl_server.refusing = true;
        return false;
    }
    if (ctl_server.refusing)
        log_out(LOG_INFO, "SOCKET: Accepting new clients again\n");
    ctl_server.refusing = false;
    ctl_server.connection_count++;
    return true;
}

void start_connection_thread(int fd)
{
    // The descriptor travels in the argument itself, so handing it over cannot fail.
    // The thread is created detached: a detach after the creation could touch a thread
    // that has already ended and been reclaimed, which crashes under connection churn.
    pthread_t thread;
    pthread_attr_t detached;
    void *cell = reinterpret_cast<void *>(static_cast<std::intptr_t>(fd));
    int created = pthread_attr_init(&detached);
    if (created == 0) {
        created = pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
        if (created == 0)
            created = pthread_attr_setstacksize(&detached, CONNECTION_STACK);
        if (created == 0)
            created = pthread_create(&thread, &detached, ctl_client_thread, cell);
        pthread_attr_destroy(&detached);
    }
    if (created != 0) {
        log_err(LOG_ERR, "SOCKET: Failed to create client thread\n");
        ctl_connection orphan;
        orphan.fd = fd;
        finish(orphan, false);
    }
}

void *ctl_accept_thread(void *)
{
    thread_name("ctl-accept");
    while (ctl_server.running.load()) {
        watchdog_idle(WATCHDOG_CTL_ACCEPT);
        int fd = accept4(ctl_server.listen_fd.load(), nullptr, nullptr, SOCK_CLOEXEC);
        watchdog_beat(WATCHDOG_CTL_ACCEPT);
        if (fd < 0) {
            int err = errno;
            if (!ctl_server.running.load())
                break;
            log_err(LOG_ERR, "SOCKET: Accept failed: %s\n", strerror(err));
            if (accept_error_is_shortage(err))
                usleep(ACCEPT_RETRY_PAUSE_US);
            continue;
        }
        // At the cap the client is told at once, by its connection closing unanswered,
        // rather than left waiting in the backlog behind clients that may never speak.
        if (!take_slot()) {
            close(fd);
            continue;
        }
        start_connection_thread(fd);
    }
    return nullptr;
}

// Wakes every connection thread that waits for its peer's next request, then waits until
// all have ended. Only the receiving side is shut down: a thread inside a command finishes
// it and its reply still goes out, so no command is carried out but reported as failed,
// and no module is called after this returns. A reply that a peer leaves unread for
// REPLY_GRACE has its connection cut.
void drain_connections()
{
    std::unique_lock lock(ctl_server.connections_lock);
    for (ctl_connection *c = ctl_server.connections; c != nullptr; c = c->next)
        shutdown(c->fd, SHUT_RD);
    const auto all_ended = [] { return ctl_server.connection_count == 0; };
    while (!ctl_server.connections_done.wait_for(lock, DRAIN_LOOK, all_ended)) {
        const std::int64_t now = monotonic_ns();
        for (ctl_connection *c = ctl_server.connections; c != nullptr; c = c->next) {
            const std::int64_t since = c->sending_since.load();
            if (since != 0 && now - since >= std::chrono::nanoseconds(REPLY_GRACE).count())
                shutdown(c->fd, SHUT_RDWR);
        }
    }
}

void ctl_server_shutdown()
{
    int listen_fd = ctl_server.listen_fd.load();
    ctl_server.running.store(false);
    if (listen_fd >= 0)
        shutdown(listen_fd, SHUT_RDWR);  // wakes the blocked accept
    pthread_join(ctl_server.accept_thread, nullptr);
    // Closed only once the accept thread is gone, so it never accepts on a reused number.
    if (listen_fd >= 0) {
        close(listen_fd);
        ctl_server.listen_fd.store(-1);
    }
    unlink(ctl_server.socket_path.c_str());
    drain_connections();
    ctl_watch_stop();
    log_out(LOG_INFO, "SOCKET: Server stopped");
}

}  // namespace

int ctl_server_init()
{
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        log_err(LOG_ERR, "SOCKET: Failed to create socket: %s\n", strerror(errno));
        return -1;
    }

    std::string path = board_path(CTL_SOCKET_PATH);
    sockaddr_un address;
    if (!fill_address(path, address)) {
        log_err(LOG_ERR, "SOCKET: Failed to bind: %s\n", strerror(ENAMETOOLONG));
        return -1;
    }
    unlink(path.c_str());  // a socket file left by an earlier run would block the bind
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        log_err(LOG_ERR, "SOCKET: Failed to bind: %s\n", strerror(errno));
        return -1;
    }
    if (!share_with_group(path)) {
        unlink(path.c_str());
        return -1;
    }
    if (listen(fd.get(), 5) < 0) {
        log_err(LOG_ERR, "SOCKET: Failed to listen: %s\n", strerror(errno));
        unlink(path.c_str());
        return -1;
    }

    // The cap leaves the daemon RESERVED_DESCRIPTORS of its descriptor limit.
    int cap = ctl_server.limits.connections;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        const rlim_t room = files.rlim_cur > RESERVED_DESCRIPTORS ? files.rlim_cur - RESERVED_DESCRIPTORS : 0;
        if (room < static_cast<rlim_t>(cap))
            cap = static_cast<int>(room);
    }
    {
        std::lock_guard lock(ctl_server.connections_lock);
        ctl_server.connection_cap = std::max(cap, MIN_CONNECTIONS);
        ctl_server.refusing = false;
    }

    // A second init (the tests restart the server) must not leak the earlier socket.
    int previous = ctl_server.listen_fd.exchange(fd.release());
    if (previous >= 0)
        close(previous);
    ctl_server.socket_path = path;
    log_out(LOG_INFO, "SOCKET: Server initialized at %s\n", CTL_SOCKET_PATH);
    return 0;
}

int ctl_server_start()
{
    if (ctl_server.running.load())
        return 0;
    // Without a listening socket the accept loop would only spin on its errors.
    if (ctl_server.listen_fd.load() < 0) {
        log_err(LOG_ERR, "SOCKET: Server not initialized\n");
        return -1;
    }
    ctl_server.running.store(true);
    if (pthread_create(&ctl_server.accept_thread, nullptr, ctl_accept_thread, nullptr) != 0) {
        log_err(LOG_ERR, "SOCKET: Failed to create server thread\n");
        ctl_server.running.store(false);
        return -1;
    }
    log_out(LOG_INFO, "SOCKET: Server started");
    return 0;
}

int ctl_server_stop()
{
    if (ctl_server.running.load())
        ctl_server_shutdown();
    return 0;
}

void ctl_server_set_limits(const ctl_server_limits &limits) { ctl_server.limits = limits; }

void ctl_server_cleanup()
{
    if (ctl_server.running.load())
        ctl_server_shutdown();
}
