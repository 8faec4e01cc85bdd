#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> target{LOG_TARGET_CONSOLE};

// Longer lines are cut; no line the daemon writes comes near this.
constexpr int max_line = 1024;

// True when the journal's "DEV:INODE" in JOURNAL_STREAM is the stream on descriptor FD, so
// a daemon started by systemd with its output sent elsewhere stays plain.
bool is_journal_stream(int fd)
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2)
        return false;
    struct stat st {};
    return fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

void write_whole(int fd, const char *data, int length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, static_cast<size_t>(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // a console that is gone loses the line, never the daemon
        data += n;
        length -= static_cast<int>(n);
    }
}

void emit(int fd, int priority, bool also_syslog, const char *format, va_list args)
{
    char text[max_line];
    std::vsnprintf(text, sizeof text, format, args);
    auto where = static_cast<log_target>(target.load(std::memory_order_relaxed));
    if (where == LOG_TARGET_SYSLOG || (also_syslog && where == LOG_TARGET_CONSOLE)) {
        size_t length = std::strlen(text);
        if (length > 0 && text[length - 1] == '\n')
            text[length - 1] = '\0';
        syslog(priority, "%s", text);
        if (where == LOG_TARGET_SYSLOG)
            return;
    }
    char line[max_line + 8];
    int length = log_format_line(line, sizeof line, where, priority, text);
    write_whole(fd, line, length);
}

}  // namespace

void log_init()
{
    bool journal = is_journal_stream(STDOUT_FILENO) || is_journal_stream(STDERR_FILENO);
    target.store(journal ? LOG_TARGET_JOURNAL : LOG_TARGET_CONSOLE);
}

void log_use_syslog()
{
    target.store(LOG_TARGET_SYSLOG);
}

enum log_target log_current_target()
{
    return static_cast<log_target>(target.load());
}

int log_format_line(char *buf, int size, enum log_target where, int priority, const char *text)
{
    if (size < 8)
        return 0;
    int length = 0;
    if (where == LOG_TARGET_JOURNAL)
        length = std::snprintf(buf, static_cast<size_t>(size), "<%d>", LOG_PRI(priority));
    // Room for the newline is kept back; a cut text still makes one whole line.
    int room = size - 1 - length;
    int text_length = static_cast<int>(std::strlen(text));
    if (text_length > 0 && text[text_length - 1] == '\n')
        --text_length;
    if (text_length > room - 1)
        text_length = room - 1;
    std::memcpy(buf + length, text, static_cast<size_t>(text_length));
    length += text_length;
    buf[length++] = '\n';
    buf[length] = '\0';
    return length;
}

void log_out(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit(STDOUT_FILENO, priority, false, format, args);
    va_end(args);
}

void log_err(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit(STDERR_FILENO, priority, false, format, args);
    va_end(args);
}

void log_syslog_too(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit(priority <= LOG_ERR ? STDERR_FILENO : STDOUT_FILENO, priority, true, format, args);
    va_end(args);
}
