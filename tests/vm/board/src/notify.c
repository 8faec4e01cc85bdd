// The board's web service as far as the daemon sees it: HTTP on 127.0.0.1:80. Each
// request's target is appended to /run/vm-board/notify.log ("SECONDS PATH", monotonic), and
// answered 200.
#include <arpa/inet.h>
#include <netinet/in.h>
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

int main(void)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons(80)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, (struct sockaddr *)&sa, sizeof sa) < 0 || listen(s, 16) < 0) {
        perror("notify: 127.0.0.1:80");
        return 1;
    }
    ready();
    for (;;) {
        int c = accept4(s, NULL, NULL, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        // One request a connection; a peer that sends nothing is dropped after 5 s.
        char buf[2048];
        size_t got = 0;
        struct pollfd p = {.fd = c, .events = POLLIN};
        while (got < sizeof buf - 1 && !memmem(buf, got, "\r\n\r\n", 4) && poll(&p, 1, 5000) == 1) {
            ssize_t r = read(c, buf + got, sizeof buf - 1 - got);
            if (r <= 0)
                break;
            got += (size_t)r;
        }
        buf[got] = '\0';
        char method[16], target[1024];
        if (sscanf(buf, "%15s %1023s", method, target) == 2) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            FILE *log = fopen("/run/vm-board/notify.log", "ae");
            if (log != NULL) {
                fprintf(log, "%lld.%06ld %s\n", (long long)now.tv_sec, now.tv_nsec / 1000, target);
                fclose(log);
            }
            static const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
            (void)!write(c, reply, sizeof reply - 1);
        }
        close(c);
    }
}
