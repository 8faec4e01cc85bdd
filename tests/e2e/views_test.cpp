// The switch set commands, the link and card state views, the JSON forms and the monitor,
// through the shipped client against the shipped daemon on a simulated board.
#include "ctl_test_peer.h"
#include "sdcard_board.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <string_view>
#include <thread>

namespace {

constexpr const char state_file[] = "/var/lib/tesmar_gpio/link_state";
constexpr const char modem_flags[] = "/sys/class/net/wwu1u2i4/flags";

class ViewsOnBoard : public testing::Test {
protected:
    void start_daemon()
    {
        daemon = std::make_unique<DaemonProcess>(board);
        ASSERT_TRUE(daemon->wait_for_output("All services started\n", 10s)) << daemon->out() << daemon->err();
    }
    RunResult client(const std::vector<std::string> &args, std::chrono::milliseconds timeout = 10s) const
    {
        std::vector<std::string> argv = {client_binary()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, board.env(), timeout);
    }
    bool link_shows(const std::string &text) const
    {
        return wait_until([&] { return client({"link"}).out.find(text) != std::string::npos; }, 10s);
    }

    SimBoard board;
    std::unique_ptr<DaemonProcess> daemon;
};

struct stat_of {
    ino_t inode;
    timespec modified;
};

// A strict reader of one JSON value (RFC 8259): true when TEXT is exactly one object
// followed by a newline.
class json_checker {
public:
    explicit json_checker(const std::string &text) : s_(text) {}
    bool one_object_line()
    {
        return peek() == '{' && value() && at_ + 1 == s_.size() && s_[at_] == '\n';
    }

private:
    char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }
    bool eat(char c) { return peek() == c ? (at_++, true) : false; }
    bool word(const char *w)
    {
        const std::string_view v(w);
        if (s_.compare(at_, v.size(), v) != 0)
            return false;
        at_ += v.size();
        return true;
    }
    bool string()
    {
        if (!eat('"'))
            return false;
        while (at_ < s_.size() && s_[at_] != '"') {
            const auto c = static_cast<unsigned char>(s_[at_++]);
            if (c < 0x20)
                return false;
            if (c == '\\') {
                const char e = peek();
                at_++;
                if (e == 'u') {
                    for (int i = 0; i < 4; i++)
                        if (!std::isxdigit(static_cast<unsigned char>(s_[at_++])))
                            return false;
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
        }
        return eat('"');
    }
    bool number()
    {
        eat('-');
        const std::size_t start = at_;
        while (std::isdigit(static_cast<unsigned char>(peek())))
            at_++;
        if (at_ == start || (s_[start] == '0' && at_ - start > 1))
            return false;
        if (eat('.')) {
            const std::size_t fraction = at_;
            while (std::isdigit(static_cast<unsigned char>(peek())))
                at_++;
            return at_ > fraction;
        }
        return true;
    }
    bool value()
    {
        switch (peek()) {
        case '{': {
            at_++;
            if (eat('}'))
                return true;
            do {
                if (!string() || !eat(':') || !value())
                    return false;
            } while (eat(','));
            return eat('}');
        }
        case '"':
            return string();
        case 't':
            return word("true");
        case 'f':
            return word("false");
        case 'n':
            return word("null");
        default:
            return number();
        }
    }
    const std::string &s_;
    std::size_t at_ = 0;
};

stat_of stat_file(const std::string &path)
{
    struct stat s {};
    stat(path.c_str(), &s);
    return {s.st_ino, s.st_mtim};
}

TEST_F(ViewsOnBoard, SettingASwitchTwiceFlipsAndSavesOnce)
{
    std::unique_ptr<NotifyListener> listener = listen_for_notifications_if_possible();
    start_daemon();
    RunResult first = client({"4g", "on"});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "4G: ON\n");
    ASSERT_EQ(read_file(board.path(state_file)), "1 0\n");
    const stat_of saved = stat_file(board.path(state_file));

    RunResult second = client({"4g", "on"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, "4G: ON (already set, unchanged)\n");
    const stat_of again = stat_file(board.path(state_file));
    EXPECT_EQ(again.inode, saved.inode) << "the state file was written again";
    EXPECT_EQ(again.modified.tv_nsec, saved.modified.tv_nsec);
    EXPECT_EQ(count_lines(daemon->out(), "LINK: 4G software set -> ON"), 1) << daemon->out();
    if (listener) {
        EXPECT_TRUE(wait_until([&] { return listener->count("event=link_switch&link=4G&status=on") == 1; }));
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(listener->events().size(), 1u);
    }
    EXPECT_EQ(client({"wifi", "off"}).out, "WiFi: OFF (already set, unchanged)\n");
    EXPECT_EQ(read_file(board.path(state_file)), "1 0\n");
}

TEST_F(ViewsOnBoard, LinkShowsDialingWhileTheDialerStallsThenUp)
{
    write_file(board.path("/usr/bin/quectel-CM.delay"), "never\n");
    write_file(board.path(state_file), "1 0\n");
    start_daemon();
    ASSERT_TRUE(link_shows("state=dialing  attempts=1  iface=down  dialer=")) << client({"link"}).out;
    const std::string pid = read_file(board.path("/usr/bin/quectel-CM.pid"));
    EXPECT_NE(client({"link"}).out.find("dialer=" + pid), std::string::npos) << pid;

    write_file(board.path(modem_flags), "0x1003\n");  // the modem's interface comes up
    EXPECT_TRUE(link_shows("4G:    switch=ON  state=up  attempts=0  iface=up")) << client({"link"}).out;
    EXPECT_NE(client({"link"}).out.find("WiFi:  switch=OFF  state=off  attempts=0\n"), std::string::npos);
}

// Every JSON form is one object that a strict parser takes.
TEST_F(ViewsOnBoard, EveryJsonCommandParses)
{
    // The checker itself refuses what a strict parser refuses.
    for (const char *bad : {"{\"a\":\"\x01\"}\n", "{\"a\":01}\n", "{\"a\":1,}\n", "{\"a\":\"\\x\"}\n", "{}{}\n"})
        EXPECT_FALSE(json_checker(bad).one_object_line()) << bad;
    start_daemon();
    const std::vector<std::vector<std::string>> commands = {
        {"status"}, {"sysinfo"}, {"4g", "info"}, {"sdcard", "status"}, {"ina"}, {"power", "status"},
        {"input"}, {"battery"}, {"version"}, {"link"}, {"sdcard", "state"}};
    for (const auto &command : commands) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), command.begin(), command.end());
        RunResult run = client(args);
        EXPECT_EQ(run.status, 0) << command[0] << run.err;
        EXPECT_TRUE(json_checker(run.out).one_object_line()) << command[0] << ": " << run.out;
    }
    // No card in the slot: the card's values are missing, not zero.
    EXPECT_NE(client({"--json", "sdcard", "status"}).out.find("\"total_kib\":null"), std::string::npos);
}

struct ctl_reply_bytes {
    std::uint8_t bytes[256];
};

std::vector<std::string> events_with(const std::string &out, const std::string &text)
{
    std::vector<std::string> found;
    for (const std::string &line : lines_of(out)) {
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

TEST_F(ViewsOnBoard, MonitorPrintsOneObjectPerChangeAndSurvivesARestart)
{
    write_file(board.path("/usr/bin/quectel-CM.delay"), "0.5\n");
    ASSERT_EQ(sdcard(board, {"mount", "/home/pi/tmData"}), 0);
    MmcDriver driver(board);
    start_daemon();

    std::thread actions([&] {
        std::this_thread::sleep_for(1500ms);
        board.set_level(1, 9, 1);  // the 4G key: its switch goes on and the dialer comes up
        std::this_thread::sleep_for(300ms);
        board.set_level(1, 9, 0);
        wait_until([&] { return read_file(board.path(modem_flags)) == "0x1003\n"; }, 5s);
        std::this_thread::sleep_for(1s);
        sdcard(board, {"remove"});
        std::this_thread::sleep_for(1s);
        daemon.reset();  // the daemon goes away and comes back
        daemon = std::make_unique<DaemonProcess>(board);
        daemon->wait_for_output("All services started\n", 10s);
        std::this_thread::sleep_for(1500ms);
        board.set_level(6, 12, 1);  // VALID2 rises after the restart
    });
    RunResult run = client({"--json", "monitor"}, 11s);
    actions.join();

    const std::string &out = run.out;
    EXPECT_EQ(events_with(out, R"("event":"input","name":"4g","value":true,"previous":false)").size(), 1u) << out;
    EXPECT_EQ(events_with(out, R"("event":"link","name":"4g","value":"up")").size(), 1u) << out;
    EXPECT_EQ(events_with(out, R"("name":"mount","value":null,"previous":"/home/pi/tmData")").size(), 1u) << out;
    EXPECT_EQ(events_with(out, R"("name":"valid2","value":true,"previous":false)").size(), 1u) << out;
    for (const std::string &line : lines_of(out)) {
        EXPECT_TRUE(json_checker(line + "\n").one_object_line()) << line;
    }
    EXPECT_NE(run.err.find("reconnecting"), std::string::npos) << run.err;
}

// A daemon from before the watch stream: one connection, any number of requests, code 68
// unknown. The monitor falls back to asking on that same connection.
TEST_F(ViewsOnBoard, MonitorPollsADaemonWithoutTheWatchStream)
{
    const std::string path = board.path(CTL_SOCKET_PATH);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unix_address(path);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::vector<std::uint8_t> codes;
    std::thread old_daemon([&] {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ControlRequest request;
        while (recv(fd, &request, sizeof request, MSG_WAITALL) == sizeof request) {
            codes.push_back(request.cmd);
            ctl_reply_bytes reply{};
            std::size_t size = sizeof(ControlReply);
            if (request.cmd == CMD_INPUT_ALL) {
                reply.bytes[1] = 1;  // 4G high
            } else if (request.cmd == CMD_LINK_STATE) {
                size = sizeof(LinkStateRecord);
            } else if (request.cmd == CMD_SDCARD_STATE) {
                size = sizeof(SdCardStateRecord);
                std::strcpy(reinterpret_cast<char *>(reply.bytes + offsetof(SdCardStateRecord, mount_point)),
                            "/home/pi/tmData");
            } else {
                reply.bytes[0] = STATUS_UNKNOWN_COMMAND;
            }
            send(fd, reply.bytes, size, MSG_NOSIGNAL);
        }
        close(fd);
    });
    RunResult run = client({"monitor"}, 1500ms);
    shutdown(listener, SHUT_RDWR);
    old_daemon.join();
    close(listener);
    EXPECT_EQ(events_with(run.out, " input 4g HIGH").size(), 1u) << run.out;
    EXPECT_EQ(events_with(run.out, " sdcard mount /home/pi/tmData").size(), 1u) << run.out;
    ASSERT_GE(codes.size(), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(codes.begin(), codes.begin() + 4),
              (std::vector<std::uint8_t>{CMD_WATCH, CMD_INPUT_ALL, CMD_LINK_STATE, CMD_SDCARD_STATE}));
}

}  // namespace

namespace {

constexpr const char config_file[] = "/etc/tesmar_gpio/tesmar_gpio.conf";

TEST_F(ViewsOnBoard, ConfiguredApnReachesTheDialerAndABadFileStopsTheStart)
{
    std::filesystem::create_directories(board.path("/etc/tesmar_gpio"));
    write_file(board.path(config_file), "# the operator's APN\napn=internet\ndialer_args=user secret\n");
    write_file(board.path(state_file), "1 0\n");
    start_daemon();
    EXPECT_TRUE(wait_until([&] {
        return read_file(board.path("/usr/bin/quectel-CM.log")).find(" start -s internet user secret\n") !=
               std::string::npos;
    })) << read_file(board.path("/usr/bin/quectel-CM.log"));
    daemon.reset();

    write_file(board.path(config_file), "apn=internet\n\nmodem_port=\n");
    DaemonProcess refused(board);
    EXPECT_EQ(refused.wait_exit(10s), 1);
    EXPECT_NE(refused.err().find("CONFIG: /etc/tesmar_gpio/tesmar_gpio.conf:3: empty value for modem_port\n"),
              std::string::npos)
        << refused.err();
}

}  // namespace

namespace {

// promtool from Debian's prometheus package, on the metrics of a running board.
RunResult promtool_check(const std::string &metrics)
{
    return run_program({"/bin/sh", "-c", "printf '%s' \"$1\" | promtool check metrics", "sh", metrics}, {{"PATH", "/usr/bin:/bin"}});
}

TEST_F(ViewsOnBoard, MetricsPassPromtoolAndLeaveOutWhatTheBoardLacks)
{
    if (!std::filesystem::exists("/usr/bin/promtool"))
        GTEST_SKIP() << "promtool is missing (Debian's prometheus package; scripts/setup installs it)";
    start_daemon();
    board.set_level(1, 9, 1);  // the 4G key, counted by the daemon
    ASSERT_TRUE(wait_until([&] { return client({"metrics"}).out.find("tesmar_gpio_key_presses_total{key=\"4g\"} 1\n") != std::string::npos; }, 10s));
    RunResult run = client({"metrics"});
    EXPECT_EQ(run.status, 0) << run.err;
    RunResult lint = promtool_check(run.out);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err << run.out;
    for (const char *present : {"tesmar_gpio_up 1\n", "tesmar_gpio_ina236_bus_volts 12.034\n", "tesmar_gpio_battery_ratio 0.87\n",
                                "tesmar_gpio_link_switch_on{link=\"4g\"} 1\n", "tesmar_gpio_sdcard_mounted 0\n"})
        EXPECT_NE(run.out.find(present), std::string::npos) << present;
    // No card: no sizes. Without --modem, no modem query.
    EXPECT_EQ(run.out.find("tesmar_gpio_sdcard_size_bytes"), std::string::npos);
    EXPECT_EQ(run.out.find("tesmar_gpio_modem_"), std::string::npos);

    // A board without an INA236 gives no INA236 metric at all, not a 0.
    std::filesystem::remove_all(board.path("/sys/class/hwmon/hwmon1"));
    run = client({"metrics", "--modem"}, 30s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("ina236"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("tesmar_gpio_modem_available "), std::string::npos) << run.out;
    lint = promtool_check(run.out);
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err << run.out;

    // The packaged writer puts the file in place whole, readable by the exporter.
    const std::string dir = board.path("/var/lib/prometheus/node-exporter");
    std::filesystem::create_directories(dir);
    auto env = board.env();
    env["PATH"] = std::filesystem::path(client_binary()).parent_path().string() + ":/usr/bin:/bin";
    RunResult write = run_program({TESMAR_METRICS_WRITER, dir}, env);
    EXPECT_EQ(write.status, 0) << write.err;
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"tesmar_gpio.prom"});
    EXPECT_EQ(std::filesystem::status(dir + "/tesmar_gpio.prom").permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0644));
    EXPECT_EQ(promtool_check(read_file(dir + "/tesmar_gpio.prom")).status, 0);

    // Without a daemon the file still says so.
    daemon.reset();
    run = client({"metrics"});
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.out.substr(run.out.rfind("# TYPE")), "# TYPE tesmar_gpio_up gauge\ntesmar_gpio_up 0\n");
}

TEST(VersionOption, BothProgramsPrintThePackageVersion)
{
    SimBoard board;
    for (const std::string &program : {daemon_binary(), client_binary()}) {
        const std::string name = program.substr(program.rfind('/') + 1);
        for (const char *option : {"--version", "-V"}) {
            RunResult run = run_program({program, option}, board.env());
            EXPECT_EQ(run.status, 0) << name << option;
            EXPECT_EQ(run.out, name + " 1.5.0\n") << option;
        }
    }
}

}  // namespace
