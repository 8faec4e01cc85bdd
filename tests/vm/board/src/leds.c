// The board's seven LEDs as LED class devices made from user space (uleds), so that the
// kernel's LED class and its triggers drive them as they drive the board's gpio-leds.
// Every brightness change the kernel hands over is appended to /run/vm-board/leds.log as
// "SECONDS NAME BRIGHTNESS", SECONDS on the monotonic clock, for the tests to read.
//   leds NAME...   (the sysfs names, from board_facts.h)
#include <fcntl.h>
#include <linux/uleds.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static void ready(void)
{
    const char *addr = getenv("NOTIFY_SOCKET");
    if (addr == NULL)
        return;
    struct sockaddr_un sa = {.sun_family = AF_UNIX};
    strncpy(sa.sun_path, addr, sizeof sa.sun_path - 1);
    if (sa.sun_path[0] == '@')
        sa.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sendto(fd, "READY=1", 7, 0, (struct sockaddr *)&sa, sizeof sa);
    close(fd);
}

int main(int argc, char **argv)
{
    enum { max_leds = 16 };
    struct pollfd fds[max_leds];
    int n = argc - 1 < max_leds ? argc - 1 : max_leds;
    if (n == 0) {
        fputs("usage: leds NAME...\n", stderr);
        return 2;
    }
    for (int i = 0; i < n; i++) {
        fds[i].fd = open("/dev/uleds", O_RDWR | O_CLOEXEC);
        fds[i].events = POLLIN;
        // The board's gpio-leds are on or off.
        struct uleds_user_dev dev = {.max_brightness = 1};
        strncpy(dev.name, argv[i + 1], sizeof dev.name - 1);
        if (fds[i].fd < 0 || write(fds[i].fd, &dev, sizeof dev) != (ssize_t)sizeof dev) {
            perror("leds: /dev/uleds");
            return 1;
        }
    }
    FILE *out = fopen("/run/vm-board/leds.log", "ae");
    if (out == NULL) {
        perror("leds: /run/vm-board/leds.log");
        return 1;
    }
    setvbuf(out, NULL, _IOLBF, 0);
    ready();
    for (;;) {
        if (poll(fds, n, -1) < 0)
            continue;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        for (int i = 0; i < n; i++) {
            int brightness;
            if ((fds[i].revents & POLLIN) && read(fds[i].fd, &brightness, sizeof brightness) == sizeof brightness)
                fprintf(out, "%lld.%06ld %s %d\n", (long long)now.tv_sec, now.tv_nsec / 1000, argv[i + 1], brightness);
        }
    }
}
