#include "lifecycle.h"
#include "log.h"

#include "beep.h"
#include "config.h"
#include "ctl_modem.h"
#include "ctl_server.h"
#include "gpio.h"
#include "input.h"
#include "led.h"
#include "ctl_protocol.h"
#include "link.h"
#include "notify.h"
#include "power.h"
#include "process.h"
#include "sd_notify.h"
#include "sdcard_monitor.h"
#include "sdcard_recovery.h"
#include "watchdog.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

// SIGPIPE is ignored process-wide: a log line written to a standard output whose reader
// has gone (a pipe to tee, a log collector that restarts) must not end the daemon without
// its cleanup. A write there then just fails. The outside programs the daemon starts
// still get the default action: they are spawned with every signal reset to default.

namespace {

// 1: detach and log the lifecycle to syslog; 0: stay in the foreground (-f).
int daemon_mode = 1;

// Cleared from the signal handler, so it must be a lock-free atomic.
std::atomic<int> main_running{1};
static_assert(std::atomic<int>::is_always_lock_free);

void signal_handler(int sig)
{
    if (sig == SIGINT || sig == SIGTERM)
        main_running.store(0);
}

void print_usage(const char *program)
{
    printf("Usage: %s [options]\n", program);
    puts("Options:");
    puts("  -f      Run in foreground (don't daemonize)");
    puts("  -h      Show this help");
    puts("  -V, --version  Show the version");
}

// The handler stays installed after each delivery and interrupted system calls are
// restarted where the system allows it; SIGHUP is caught so it neither stops nor kills.
void install_signal_handlers()
{
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

// The stop signals reach the main thread alone, and only while it waits in its run loop:
// every thread blocks them (the modules' threads inherit the block from the main thread,
// which takes it before it creates them), and the run loop's wait unblocks them in the same
// system call that starts the wait. A signal can then neither end a module thread's system
// call nor slip in between the run loop's look at main_running and its wait, where it
// would leave the wait running to its end, which may be never.
// Returns the mask for that wait: the one the daemon started with, less the stop signals
// (a parent may have left them blocked).
sigset_t block_stop_signals()
{
    constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t block;
    sigemptyset(&block);
    for (int sig : stop_signals)
        sigaddset(&block, sig);
    sigset_t wait_mask;
    pthread_sigmask(SIG_BLOCK, &block, &wait_mask);
    for (int sig : stop_signals)
        sigdelset(&wait_mask, sig);
    return wait_mask;
}

void close_syslog_with(int priority, const char *message)
{
    if (daemon_mode == 1) {
        syslog(priority, "%s", message);
        closelog();
    }
}

// Points the standard streams at /dev/null; the descriptors 0 to 2 stay inheritable.
void redirect_standard_streams()
{
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in >= 0) {
        dup2(in, STDIN_FILENO);
        close(in);
    }
    if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        close(out);
    }
}

// Returns -1 in the parent (which must exit 0 at once), 0 in the detached child; exits
// with status 1 on a failure.
int detach()
{
    log_out(LOG_INFO, "Starting as daemon...");
    fflush(nullptr);  // the child must not print the parent's buffered output again
    pid_t pid = fork();
    if (pid < 0) {
        log_err(LOG_ERR, "Failed to fork\n");
        exit(1);
    }
    if (pid > 0)
        return -1;
    if (setsid() < 0) {
        log_err(LOG_ERR, "Failed to create session\n");
        exit(1);
    }
    if (chdir("/") < 0) {
        log_err(LOG_ERR, "Failed to change directory\n");
        exit(1);
    }
    redirect_standard_streams();
    openlog("tesmar_gpio", LOG_PID, LOG_DAEMON);
    // Standard output and error are /dev/null now: every line goes to syslog instead.
    log_use_syslog();
    syslog(LOG_INFO, "Daemon started");
    return 0;
}

struct init_step {
    int (*run)();
    const char *failure;  // written to standard error when the step fails; null: result not examined
};

const init_step init_steps[] = {
    {gpio_init, "Failed to initialize GPIO\n"},
    {gpio_init_outputs, "Failed to initialize output GPIOs\n"},
    {gpio_init_inputs, "Failed to initialize input GPIOs\n"},
    {led_init, "Failed to initialize LED module\n"},
    {beep_init, "Failed to initialize beep module\n"},
    {power_init, "Failed to initialize power module\n"},
    // Polls every 100 ms; the levels read here are the baseline and fire no callback.
    {[] { return input_monitor_init(100); }, "Failed to initialize input monitor\n"},
    {link_init, "Failed to initialize link manager\n"},
    {ctl_server_init, "Failed to initialize socket server\n"},
    {sdcard_recovery_init, nullptr},
};

const init_step start_steps[] = {
    {input_monitor_start, "Failed to start input monitor\n"},
    {link_start, "Failed to start link manager\n"},
    {ctl_server_start, "Failed to start socket server\n"},
    {notify_init, nullptr},
    {notify_sdcard_monitor_start, nullptr},
    {sdcard_recovery_start, nullptr},
};

// Runs the steps in order; the first failure is reported and ends the sequence.
bool run_steps(std::span<const init_step> steps)
{
    for (const init_step &step : steps) {
        if (step.run() < 0 && step.failure != nullptr) {
            log_err(LOG_ERR, "%s", step.failure);
            return false;
        }
    }
    return true;
}

void stop_services()
{
    log_out(LOG_INFO, "Stopping services...");
    // Before all: a hung outside program would hold the thread waiting on it, and with it
    // the join of that thread's module. From here on only the stop sequence starts any.
    process_stop_all();
    // First: a beep pattern a client chose, and every request waiting behind it, would
    // otherwise hold up the control server's stop for as long as the pattern lasts.
    beep_stop();
    // Likewise the modem queries queued behind a silent modem.
    ctl_modem_stop();
    sdcard_recovery_stop();
    notify_sdcard_monitor_stop();
    ctl_server_stop();
    link_stop();
    input_monitor_stop();
    log_out(LOG_INFO, "All services stopped");
}

// Waits for PAUSE at most (for a signal alone without one), with the signal mask
// WAIT_MASK: a stop signal ends the wait at once.
void wait_in_run_loop(std::optional<std::chrono::milliseconds> pause, const sigset_t &wait_mask)
{
    timespec duration{};
    if (pause) {
        const auto nanoseconds = std::chrono::nanoseconds(*pause).count();
        duration = {static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
    }
    ppoll(nullptr, 0, pause ? &duration : nullptr, &wait_mask);
}

void cleanup_modules()
{
    log_out(LOG_INFO, "Cleaning up...");
    process_end_all_left();
    ctl_server_cleanup();
    sdcard_recovery_cleanup();
    link_cleanup();
    input_monitor_cleanup();
    power_cleanup();
    beep_cleanup();
    led_cleanup();
    gpio_cleanup();
    log_out(LOG_INFO, "Cleanup complete");
}

}  // namespace

int daemon_main(int argc, char **argv)
{
    // Progress lines must reach a pipe or log file as they happen, not at exit.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    log_init();

    static const option long_options[] = {{"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "fhV", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'V':
            printf("tesmar_gpio %s\n", VERSION_NUMBER);
            return 0;
        case 'f':
            daemon_mode = 0;
            break;
        case 'h':
            print_usage(argv[0]);
            return 0;
        default:
            print_usage(argv[0]);
            return 1;
        }
    }

    // Before detaching, so that a bad file is reported where the daemon was started.
    if (config_load() != 0)
        return 1;

    install_signal_handlers();

    if (daemon_mode == 1 && detach() < 0)
        return 0;
    // After the fork: the watchdog's WATCHDOG_PID names the process that runs the modules.
    sd_notify_init();

    const sigset_t wait_mask = block_stop_signals();
    log_out(LOG_INFO, "Initializing GPIO manager...");
    if (!run_steps(init_steps)) {
        close_syslog_with(LOG_ERR, "Failed to initialize modules");
        return 1;
    }
    log_out(LOG_INFO, "All modules initialized");
    log_out(LOG_INFO, "Starting services...");

    if (!run_steps(start_steps)) {
        cleanup_modules();
        close_syslog_with(LOG_ERR, "Failed to start modules");
        return 1;
    }
    log_out(LOG_INFO, "All services started");
    sd_notify_send("READY=1");
    beep_once(100);  // returns at once; the worker plays it

    while (main_running.load() != 0)
        wait_in_run_loop(watchdog_tick(), wait_mask);

    sd_notify_send("STOPPING=1");
    stop_services();
    cleanup_modules();

    if (daemon_mode == 1)
        close_syslog_with(LOG_INFO, "Daemon stopped");
    else
        log_out(LOG_INFO, "GPIO manager stopped");
    return 0;
}
