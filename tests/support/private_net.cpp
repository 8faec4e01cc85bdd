#include "private_net.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool write_text(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Enters a new user namespace and the namespaces of FLAGS, staying the same user inside
// with every capability over them.
bool enter_namespaces(int flags, const char *what, std::string &why)
{
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | flags) != 0) {
        why = std::string("no private ") + what + " namespace here: " + std::strerror(errno);
        return false;
    }
    write_text("/proc/self/setgroups", "deny");
    if (!write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        why = "cannot map the user into the new namespace";
        return false;
    }
    return true;
}

}  // namespace

bool enter_private_mounts(std::string &why)
{
    if (!enter_namespaces(CLONE_NEWNS, "mount", why))
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/home", "tmpfs", 0, "mode=755") != 0) {
        why = std::string("cannot mount in the namespace: ") + std::strerror(errno);
        return false;
    }
    if (mkdir("/home/pi", 0755) != 0) {
        why = std::string("cannot create /home/pi: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool enter_private_network(std::string &why)
{
    if (!enter_namespaces(CLONE_NEWNET, "network", why))
        return false;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        why = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool up = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    close(sock);
    if (!up)
        why = "cannot bring the loopback interface up";
    return up;
}
