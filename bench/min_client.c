/* The least a client process can do for one command: the baseline beside which the
 * benchmark measures tesmar_gpioctl. It sends the request that "tesmar_gpioctl power
 * status" sends, reads the 16-byte reply and prints the same line, looking for the socket
 * under TESMAR_GPIO_ROOT the same way. Only the C library, nothing else. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(void)
{
    static const char *const sources[] = {"none", "external", "internal", "both", "unknown"};
    const char *root = getenv("TESMAR_GPIO_ROOT");
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int n = snprintf(address.sun_path, sizeof address.sun_path, "%s/var/run/tesmar_gpio.sock", root ? root : "");
    if (n < 0 || (size_t)n >= sizeof address.sun_path)
        return 255;

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (const struct sockaddr *)&address, sizeof address) != 0) {
        fputs("Failed to connect to daemon: /var/run/tesmar_gpio.sock\n", stderr);
        return 255;
    }
    unsigned char request[8] = {10 /* CMD_POWER_STATUS */};
    unsigned char reply[16];
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) != (ssize_t)sizeof request ||
        recv(fd, reply, sizeof reply, 0) != (ssize_t)sizeof reply) {
        fputs("Invalid response\n", stderr);
        close(fd);
        return 255;
    }
    close(fd);
    if (reply[0] != 0) {
        printf("Error: %d\n", reply[0]);
        return 0;
    }
    printf("Power status: %s\n", sources[reply[1] < 4 ? reply[1] : 4]);
    return 0;
}
