// Running outside programs.
//
// Every child starts with default signal dispositions, an empty signal mask, the file mode
// mask 022, no descriptor but 0, 1 and 2, and a process group of its own, whatever the
// daemon has installed or opened. Nothing here touches the daemon's own signal handling:
// system() would ignore SIGINT and SIGQUIT in the whole process while a command runs, and
// a stop request would be lost.
//
// Children are started as posix_spawn starts them: sharing the daemon's memory until they
// exec (the daemon's page tables are never copied), so a start costs the same in a large
// daemon as in a small one.
//
// Every run has a time limit. At its limit the child's whole process group gets SIGTERM,
// and SIGKILL a few seconds later; the run counts as failed. At stop, process_stop_all
// ends every child still running and refuses new ones, so no hung program holds a worker
// or the stop.
//
// What a child writes reaches the daemon's log only as whole lines: its standard output
// (unless read by read_command) through log_out, its standard error through log_err.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

// The time limits of the programs the daemon runs, one per kind of job.
namespace child_limit {
using namespace std::chrono_literals;
// Anything not named below.
inline constexpr std::chrono::milliseconds standard = 10s;
// The access-point script: it waits up to 3 s for its servers itself.
inline constexpr std::chrono::milliseconds ap_script = 30s;
// pgrep, ip, iw: they only read the kernel's state.
inline constexpr std::chrono::milliseconds health_check = 5s;
// fuser walks every process's descriptors.
inline constexpr std::chrono::milliseconds fuser = 5s;
// systemctl waits for the service manager, which may be busy starting or stopping a unit.
inline constexpr std::chrono::milliseconds systemctl = 20s;
// umount -l detaches at once; a hanging one is a kernel in trouble.
inline constexpr std::chrono::milliseconds umount = 5s;
// systemd-mount --no-block only queues the mount job.
inline constexpr std::chrono::milliseconds systemd_mount = 10s;
// blkid reads the partition's first blocks.
inline constexpr std::chrono::milliseconds blkid = 5s;
// rm of a few files in /tmp.
inline constexpr std::chrono::milliseconds rm = 5s;
}  // namespace child_limit

// Runs COMMAND with "/bin/sh -c" and waits for it, for at most LIMIT. Returns its wait
// status as system() does (0 when it exited 0), or -1 when it could not be started, passed
// its limit (errno ETIMEDOUT) or was ended by the stop (errno ECANCELED).
int run_command(const std::string &command, std::chrono::milliseconds limit = child_limit::standard);

// Runs COMMAND with "/bin/sh -c" and collects its standard output into OUTPUT, keeping at
// most MAX_BYTES (the rest is read and dropped, so the child never blocks on a full
// pipe). Returns the wait status, or -1 as run_command does; OUTPUT is empty then.
int read_command(const std::string &command, std::string &output, std::size_t max_bytes = 64 * 1024,
                 std::chrono::milliseconds limit = child_limit::standard);

// Starts the program at PATH with ARGV (null-terminated) without a shell, without waiting
// and without a time limit: a long-running program its caller watches, reaps and ends.
// Standard output and standard error go to OUTPUT_FD when it is 0 or more; standard input
// stays as the daemon's. Returns the child's pid (also its process group), or -1 with errno
// set when it could not be started (ECANCELED once the stop has begun); a program that
// cannot be executed ends with status 127.
pid_t spawn_program(const char *path, char *const argv[], int output_fd);

// At stop: from now on a run started by any other thread fails at once, and one started by
// the calling thread (the stop sequence's own cleanup commands) gets at most a few seconds.
// Every running child of run_command and read_command gets SIGTERM to its process group,
// and SIGKILL after 3 s if it is still there; the threads waiting on them then return. The
// programs of spawn_program are left to their owners while they run; what remains of their
// process groups once their owners have reaped them is ended the same way. Returns when
// every child it signalled has ended or been sent SIGKILL. May be called again.
void process_stop_all();

// True once process_stop_all has run: a run that failed since may have been cut short by
// the stop, so its result says nothing about what it checked.
bool process_stopping();

// WORD as one single-quoted shell word: nothing in it (quotes, '$', '\', newlines) can
// change the command it is put into.
std::string shell_quote(std::string_view word);
