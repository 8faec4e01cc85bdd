// Test support: a fresh simulated board per test, and the shipped programs run on it.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

// Polls COND every few milliseconds until it holds or TIMEOUT passes.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 5s);

std::string read_file(const std::string &path);
std::vector<std::string> lines_of(const std::string &text);
int count_lines(const std::string &text, const std::string &wanted);
// Entries of a directory other than "." and "..", e.g. "/proc/PID/task" or "/proc/PID/fd".
int count_dir_entries(const std::string &dir);
// Threads of this process. ThreadSanitizer adds a helper thread with the first thread a
// program creates, so one is created before anything is counted.
int thread_count();
void write_file(const std::string &path, const std::string &text);  // replaced in one step
bool file_exists(const std::string &path);

// A simulated board laid out in a new temporary directory, removed again with the object.
class SimBoard {
public:
    SimBoard();
    ~SimBoard();
    SimBoard(const SimBoard &) = delete;
    SimBoard &operator=(const SimBoard &) = delete;

    const std::string &root() const { return root_; }
    // Where a path of the real board lies on this one, e.g. path("/sys/class/leds").
    std::string path(std::string_view board_path) const;

    // GPIO line levels, by chip number (gpiochipN) and offset; -1 when unreadable.
    void set_level(int chip, unsigned offset, int level);
    int level(int chip, unsigned offset) const;
    std::string line_file(int chip, unsigned offset, std::string_view suffix = "") const;
    // Every level driven on an output: (CLOCK_MONOTONIC ns, level).
    std::vector<std::pair<long long, int>> transitions(int chip, unsigned offset) const;
    // Lines currently requested (files "OFFSET.request" left on any chip).
    std::vector<std::string> requested_lines() const;

    // An LED attribute ("trigger", "brightness", "delay_on", "delay_off") of sys_ledN.
    std::string led(int n, std::string_view attribute) const;

    // Environment for a program run on this board.
    std::map<std::string, std::string> env() const;

private:
    std::string root_;
};

// Status of a finished child: its exit status, or 128 + signal number.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Starts ARGV (ARGV[0] a path) with exactly the environment ENV and the descriptor
// set-up ACTIONS (none: the caller's), without waiting; the pid, or -1.
pid_t spawn_with_env(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                     const posix_spawn_file_actions_t *actions = nullptr);

// Runs a program to completion with extra environment and returns what it printed.
RunResult run_program(const std::vector<std::string> &argv,
                      const std::map<std::string, std::string> &env,
                      std::chrono::milliseconds timeout = 10s);

// The shipped daemon running on a board, with its output captured in files.
class DaemonProcess {
public:
    DaemonProcess(const SimBoard &board, std::vector<std::string> args = {"-f"},
                  std::map<std::string, std::string> extra_env = {});
    ~DaemonProcess();  // kills the daemon if it still runs
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    bool wait_for_output(std::string_view text, std::chrono::milliseconds timeout = 5s) const;
    void signal(int sig) const;
    // Exit status (or 128 + signal) once the process has ended within TIMEOUT.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 5s);
    bool running();

private:
    std::string out_path_;
    std::string err_path_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Paths of the built programs.
std::string daemon_binary();
std::string client_binary();
std::string fake_gpiod_library();
// LD_PRELOAD for a program of this build run with the simulated libgpiod: the sanitizer
// runtime first (when built with one), then the fake.
std::string preload_list();
// True when this build runs under a sanitizer, whose own interceptors win over a preload.
bool sanitized_build();
// A preloaded library that makes the Nth thread creation fail (TESMAR_TEST_FAIL_THREAD=N).
std::string fail_thread_create_library();
