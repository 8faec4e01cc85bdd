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
// and SIGKILL when the grace ends, whether or not the child itself has gone by then; the
// run counts as failed. When a run ends, whatever its child left in its group goes too: a
// program meant to outlive its command (a server) leaves the group with setsid. At stop,
// process_stop_all sends SIGTERM to every run's group at once and refuses new runs; each
// run's own thread sends the SIGKILL, so the graces of all runs go by side by side.
//
// A process group is signalled only while its leader, our child, is unreaped: only then
// is its id still ours. A child's end is first seen without reaping it (waitid WNOWAIT),
// then its group is ended, then it is reaped and forgotten in one step.
//
// What a child writes reaches the daemon's log only as whole lines: its standard output
// (unless read by read_command) through log_out, its standard error through log_err. Each
// run passes at most child_output::log_cap bytes to the log, and once its child has ended
// reads what is left for at most child_output::drain_time: a child's child that never
// stops writing holds neither the log nor the thread. One line says what was dropped.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace child_output {
using namespace std::chrono_literals;
// Of each run's output, what may reach the log: far more than any command here prints.
inline constexpr std::size_t log_cap = 64 * 1024;
// How long the output left in the pipes is read once a child has ended, and how much.
inline constexpr std::chrono::milliseconds drain_time = 100ms;
inline constexpr std::size_t drain_bytes = 1024 * 1024;
}  // namespace child_output

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
// and without a time limit: a long-running program its caller watches with program_ended
// and ends with end_program. Standard output and standard error go to OUTPUT_FD when it is
// 0 or more; standard input stays as the daemon's. Returns the child's pid (also its
// process group), or -1 with errno set when it could not be started (ECANCELED once the
// stop has begun). A program that cannot be executed returns -1 too, with the exec's error
// in errno and EXEC_FAILED (when given) set; its child, which ended with status 127, is
// reaped already.
pid_t spawn_program(const char *path, char *const argv[], int output_fd, bool *exec_failed = nullptr);

// True once the child PID of spawn_program has ended. It is not reaped: its process group
// stays ours until end_program.
bool program_ended(pid_t pid);

// Ends the child PID of spawn_program with whatever it left in its process group, then
// reaps it; the caller forgets PID with the return. The group gets SIGTERM, and SIGKILL
// once GRACE has passed if anything of it is left. Returns the child's wait status (-1
// when it could not be reaped); KILLED (when given) tells whether the child itself needed
// the SIGKILL.
int end_program(pid_t pid, std::chrono::milliseconds grace, bool *killed = nullptr);

// At stop: from now on a run or program started by any other thread fails at once, and a
// run started by the calling thread (the stop sequence's own cleanup commands) gets SIGTERM
// a few seconds after the stop began at the latest. Every running child of run_command and
// read_command gets SIGTERM to its process group now; the thread waiting on it sends the
// SIGKILL 3 s later if anything of the group is left, and its run fails (ECANCELED).
// Returns at once, so the graces of the runs and of what the stop does next overlap. The
// programs of spawn_program are their owners' to end. May be called again.
void process_stop_all();

// At the end of a stop: waits until every run has ended, and once the graces of
// process_stop_all are over sends SIGKILL to the group of any run still listed (its thread
// may be one the stop does not join, such as a client's). Nothing of ours outlives the exit.
void process_end_all_left();

// True once process_stop_all has run: a run that failed since may have been cut short by
// the stop, so its result says nothing about what it checked.
bool process_stopping();

// WORD as one single-quoted shell word: nothing in it (quotes, '$', '\', newlines) can
// change the command it is put into.
std::string shell_quote(std::string_view word);
