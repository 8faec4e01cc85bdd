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
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// The stop signals reach the main thread alone: it blocks them while it creates the
// modules' threads, which inherit the block, and takes them again once they all run. A
// signal taken by a module thread would leave the main thread's one-second sleep running
// to its end; taken by the main thread it ends that sleep at once.
void route_stop_signals_to_main_thread(int how)
{
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop_signals, sig);
    pthread_sigmask(how, &stop_signals, nullptr);
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

// Sleeps PAUSE at most; a signal ends the sleep early, as it ends sleep(1).
void pause_run_loop(std::chrono::milliseconds pause)
{
    const auto nanoseconds = std::chrono::nanoseconds(pause).count();
    const timespec duration{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
    nanosleep(&duration, nullptr);
}

void cleanup_modules()
{
    log_out(LOG_INFO, "Cleaning up...");
    ctl_server_cleanup();
    sdcard_recovery_cleanup();
    link_cleanup();
    input_monitor_cleanup();
    power_cleanup();
    beep_cleanup();
    led_cleanup();
    gpio_cleanup();
    // Whatever a dialer started and left behind in its process group.
    process_stop_all();
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

    route_stop_signals_to_main_thread(SIG_BLOCK);
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
    route_stop_signals_to_main_thread(SIG_UNBLOCK);

    while (main_running.load() != 0)
        pause_run_loop(watchdog_tick());

    sd_notify_send("STOPPING=1");
    stop_services();
    cleanup_modules();

    if (daemon_mode == 1)
        close_syslog_with(LOG_INFO, "Daemon stopped");
    else
        log_out(LOG_INFO, "GPIO manager stopped");
    return 0;
}
