// The client's rendering of whatever the daemon answers: the first byte picks a command,
// the rest is the reply that a stand-in daemon on a real socket sends to every request of
// that command. The client must print or refuse it, never read past what it received.
#include "ctl_protocol.h"
#include "gpioctl.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::vector<std::vector<const char *>> commands = {
    {"status"},         {"version"},          {"sysinfo"},       {"4g", "info"},   {"ina"},
    {"battery"},        {"input"},            {"power", "status"}, {"sdcard", "status"},
    {"sdcard", "remove"}, {"rtty", "status"}, {"4g", "status"},  {"led", "sys", "on"}, {"rtty", "on"},
};

std::mutex reply_lock;
std::string reply;
FILE *sink = nullptr;
char root[] = "/tmp/tesmar-fuzz-client-XXXXXX";

// The board root goes with the fuzzer.
void remove_root()
{
    std::string path = root;
    unlink((path + CTL_SOCKET_PATH).c_str());
    rmdir((path + "/var/run").c_str());
    rmdir((path + "/var").c_str());
    rmdir(path.c_str());
}

// The stand-in daemon: reads each request, answers it with the current reply, hangs up.
void serve(int listener)
{
    for (;;) {
        int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        char request[sizeof(ControlRequest)];
        if (recv(connection, request, sizeof request, MSG_WAITALL) == static_cast<ssize_t>(sizeof request)) {
            std::lock_guard lock(reply_lock);
            if (!reply.empty())
                send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        close(connection);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (mkdtemp(root) == nullptr)
        std::abort();
    std::atexit(remove_root);
    setenv("TESMAR_GPIO_ROOT", root, 1);
    std::string run = std::string(root) + "/var/run";
    mkdir((std::string(root) + "/var").c_str(), 0700);
    mkdir(run.c_str(), 0700);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s%s", root, CTL_SOCKET_PATH);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener, 64) != 0)
        std::abort();
    std::thread(serve, listener).detach();
    sink = std::fopen("/dev/null", "we");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || size > 512)
        return -1;
    const std::vector<const char *> &words = commands[data[0] % commands.size()];
    {
        std::lock_guard lock(reply_lock);
        reply.assign(reinterpret_cast<const char *>(data + 1), size - 1);
    }
    std::vector<char *> argv{const_cast<char *>("tesmar_gpioctl")};
    for (const char *word : words)
        argv.push_back(const_cast<char *>(word));
    argv.push_back(nullptr);

    // The client's text goes nowhere; the fuzzer's own reports still reach standard error.
    FILE *out = stdout, *err = stderr;
    stdout = sink;
    stderr = sink;
    int status = gpioctl_main(static_cast<int>(argv.size() - 1), argv.data());
    std::fflush(sink);
    stdout = out;
    stderr = err;
    if (status != 0 && status != -1)
        __builtin_trap();  // 1 is only for a missing or unknown command word
    return 0;
}
