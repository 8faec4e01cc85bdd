#include "sim_board.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int count_lines(const std::string &text, const std::string &wanted)
{
    int n = 0;
    for (const auto &line : lines_of(text))
        n += line == wanted;
    return n;
}

int count_dir_entries(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d))
            n += entry->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

int thread_count()
{
    static const bool primed = (std::thread([] {}).join(), true);
    (void)primed;
    return count_dir_entries("/proc/self/task");
}

void write_file(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".test-tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out)
            throw std::runtime_error("cannot write " + tmp);
    }
    if (rename(tmp.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename to " + path);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string daemon_binary() { return TESMAR_DAEMON_BIN; }
std::string client_binary() { return TESMAR_CLIENT_BIN; }
std::string fake_gpiod_library() { return TESMAR_FAKE_GPIOD; }

bool sanitized_build() { return std::string(TESMAR_SANITIZER_RUNTIME).empty() == false; }
std::string fail_thread_create_library() { return TESMAR_FAIL_THREAD_CREATE; }

std::string preload_list()
{
    std::string runtime = TESMAR_SANITIZER_RUNTIME;
    return runtime.empty() ? fake_gpiod_library() : runtime + ":" + fake_gpiod_library();
}

namespace {

int decode_status(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

// Spawns ARGV with the current environment plus ENV, stdout and stderr into files.
pid_t spawn(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
            const std::string &out_path, const std::string &err_path)
{
    std::map<std::string, std::string> merged;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto &[key, value] : env)
        merged[key] = value;

    std::vector<std::string> env_strings;
    for (const auto &[key, value] : merged)
        env_strings.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (auto &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    std::vector<std::string> args = argv;
    std::vector<char *> argvp;
    for (auto &a : args)
        argvp.push_back(a.data());
    argvp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argvp[0], &actions, nullptr, argvp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot spawn " + argv[0] + ": " + strerror(rc));
    return pid;
}

std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout)
{
    std::optional<int> status;
    wait_until(
        [&] {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) == pid)
                status = decode_status(raw);
            return status.has_value();
        },
        timeout);
    return status;
}

void remove_tree(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(child);
            else
                unlink(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

}  // namespace

SimBoard::SimBoard()
{
    // Short, because the control socket's path under it must fit a Unix address.
    char templ[] = "/tmp/tsb-XXXXXX";
    if (mkdtemp(templ) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    RunResult setup = run_program({TESMAR_BOARD_SETUP, root_}, {});
    if (setup.status != 0)
        throw std::runtime_error("board-setup failed: " + setup.err);
}

SimBoard::~SimBoard() { remove_tree(root_); }

std::string SimBoard::path(std::string_view board_path) const { return root_ + std::string(board_path); }

std::string SimBoard::line_file(int chip, unsigned offset, std::string_view suffix) const
{
    return path("/dev/gpiochip" + std::to_string(chip) + "/" + std::to_string(offset)) + std::string(suffix);
}

void SimBoard::set_level(int chip, unsigned offset, int level)
{
    write_file(line_file(chip, offset), level ? "1" : "0");
}

int SimBoard::level(int chip, unsigned offset) const
{
    std::string text = read_file(line_file(chip, offset));
    if (text.empty() || (text[0] != '0' && text[0] != '1'))
        return -1;
    return text[0] - '0';
}

std::vector<std::pair<long long, int>> SimBoard::transitions(int chip, unsigned offset) const
{
    std::vector<std::pair<long long, int>> result;
    std::istringstream in(read_file(line_file(chip, offset, ".transitions")));
    long long when = 0;
    int level = 0;
    while (in >> when >> level)
        result.emplace_back(when, level);
    return result;
}

std::vector<std::string> SimBoard::requested_lines() const
{
    std::vector<std::string> lines;
    for (int chip : {1, 3, 6, 8}) {
        std::string dir = path("/dev/gpiochip" + std::to_string(chip));
        DIR *d = opendir(dir.c_str());
        if (d == nullptr)
            continue;
        while (dirent *entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name.size() > 8 && name.ends_with(".request"))
                lines.push_back("gpiochip" + std::to_string(chip) + "/" + name);
        }
        closedir(d);
    }
    return lines;
}

std::string SimBoard::led(int n, std::string_view attribute) const
{
    std::string text = read_file(path("/sys/class/leds/sys_led" + std::to_string(n) + "/" + std::string(attribute)));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::map<std::string, std::string> SimBoard::env() const
{
    // Stand-ins for programs run by name come first, as scripts/sim-daemon puts them.
    const char *path = std::getenv("PATH");
    std::string search = root_ + "/sim/bin:" + (path != nullptr ? path : "/usr/bin:/bin");
    return {{"TESMAR_GPIO_ROOT", root_}, {"PATH", search}};
}

pid_t spawn_with_env(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                     const posix_spawn_file_actions_t *actions)
{
    std::vector<std::string> args = argv;
    std::vector<std::string> assignments;
    for (const auto &[key, value] : env)
        assignments.push_back(key + "=" + value);
    std::vector<char *> arg_ptrs, env_ptrs;
    for (auto &a : args)
        arg_ptrs.push_back(a.data());
    arg_ptrs.push_back(nullptr);
    for (auto &e : assignments)
        env_ptrs.push_back(e.data());
    env_ptrs.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, arg_ptrs[0], actions, nullptr, arg_ptrs.data(), env_ptrs.data()) != 0)
        return -1;
    return pid;
}

RunResult run_program(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                      std::chrono::milliseconds timeout)
{
    char templ[] = "/tmp/tsb-run-XXXXXX";
    if (mkdtemp(templ) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    std::string dir = templ;
    RunResult result;
    pid_t pid = spawn(argv, env, dir + "/out", dir + "/err");
    std::optional<int> status = wait_child(pid, timeout);
    if (!status) {
        kill(pid, SIGKILL);
        status = wait_child(pid, 5s);
    }
    result.status = status.value_or(-1);
    result.out = read_file(dir + "/out");
    result.err = read_file(dir + "/err");
    remove_tree(dir);
    return result;
}

DaemonProcess::DaemonProcess(const SimBoard &board, std::vector<std::string> args,
                             std::map<std::string, std::string> extra_env)
    : out_path_(board.root() + "/daemon.out"), err_path_(board.root() + "/daemon.err")
{
    auto env = board.env();
    env["LD_PRELOAD"] = preload_list();
    for (const auto &[key, value] : extra_env)
        env[key] = value;
    args.insert(args.begin(), daemon_binary());
    pid_ = spawn(args, env, out_path_, err_path_);
}

DaemonProcess::~DaemonProcess()
{
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_child(pid_, 5s);
    }
}

std::string DaemonProcess::out() const { return read_file(out_path_); }
std::string DaemonProcess::err() const { return read_file(err_path_); }

bool DaemonProcess::wait_for_output(std::string_view text, std::chrono::milliseconds timeout) const
{
    return wait_until([&] { return out().find(text) != std::string::npos; }, timeout);
}

void DaemonProcess::signal(int sig) const { kill(pid_, sig); }

std::optional<int> DaemonProcess::wait_exit(std::chrono::milliseconds timeout)
{
    if (!status_)
        status_ = wait_child(pid_, timeout);
    return status_;
}

bool DaemonProcess::running() { return !wait_exit(0ms).has_value(); }
