/* The idle baseline: the daemon's idle work with the links on and no SD card, in plain C
 * and nothing more. Every 100 ms it reads the four input lines' levels as the simulated
 * libgpiod reads them (a look for the line's fault knob, then its file), every second the
 * Ethernet carrier, every 2 s the mount table, every 3 s it looks for the card (its
 * partition, then the MMC driver's directory), every 5 s it runs the WiFi health check's
 * commands through /bin/sh, and every 10 s it reads the 4G interface's flags, as the
 * daemon does.
 *
 *   idle_min ROOT SECONDS
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static const char *root;

static void read_board_file(const char *path)
{
    char full[512];
    char buffer[4096];
    snprintf(full, sizeof full, "%s%s", root, path);
    int fd = open(full, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
}

static void list_board_dir(const char *path)
{
    char full[512];
    char buffer[4096];
    snprintf(full, sizeof full, "%s%s", root, path);
    int fd = open(full, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    while (syscall(SYS_getdents64, fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
}

static void read_level(const char *path)
{
    char knob[512];
    struct stat info;
    snprintf(knob, sizeof knob, "%s%s.fail-read", root, path);
    if (stat(knob, &info) != 0)
        read_board_file(path);
}

static void run(const char *command)
{
    char *argv[] = {"sh", "-c", (char *)command, NULL};
    pid_t pid;
    if (posix_spawn(&pid, "/bin/sh", NULL, NULL, argv, environ) == 0)
        waitpid(pid, NULL, 0);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROOT SECONDS\n", argv[0]);
        return 2;
    }
    root = argv[1];
    const long ticks = atol(argv[2]) * 10;
    static const char *const inputs[] = {"/dev/gpiochip1/9", "/dev/gpiochip6/11", "/dev/gpiochip6/12",
                                         "/dev/gpiochip8/10"};
    static const char *const health[] = {
        "pgrep -f '[h]ostapd.*tesmar-hostapd' > /dev/null",
        "pgrep -f '[u]dhcpd.*tesmar-udhcpd' > /dev/null",
        "ip addr show wlan0 | grep 'inet ' > /dev/null",
        "iw dev wlan0 info | grep -q 'type AP' 2>/dev/null",
    };
    for (long tick = 0; tick < ticks; ++tick) {
        for (int i = 0; i < 4; ++i)
            read_level(inputs[i]);
        if (tick % 10 == 0)
            read_board_file("/sys/class/net/end2/operstate");
        if (tick % 20 == 0)
            read_board_file("/proc/mounts");
        if (tick % 30 == 0) {
            read_board_file("/dev/mmcblk0p1");
            list_board_dir("/sys/bus/mmc/drivers/mmcblk");
        }
        if (tick % 100 == 0)
            read_board_file("/sys/class/net/wwu1u2i4/flags");
        if (tick % 50 == 0) {
            read_board_file("/sys/class/net/wlan0/operstate");
            for (int i = 0; i < 4; ++i)
                run(health[i]);
        }
        struct timespec step = {0, 100 * 1000 * 1000};
        nanosleep(&step, NULL);
    }
    return 0;
}
