#include "config.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>

namespace {

constexpr const char file[] = "/etc/tesmar_gpio/tesmar_gpio.conf";

struct good_case {
    const char *text;
    // The one setting the text changes, as "key=what it became".
    const char *changed;
};

std::string setting(const tesmar_config &c, std::string_view key)
{
    if (key == "apn")
        return c.apn;
    if (key == "dialer_args") {
        std::string joined;
        for (const std::string &word : c.dialer_args)
            joined += "[" + word + "]";
        return joined;
    }
    if (key == "dialer")
        return c.dialer;
    if (key == "modem_port")
        return c.modem_port;
    if (key == "wwan_interface")
        return c.wwan_interface;
    if (key == "notify_url")
        return c.notify_url;
    return c.card_mount_dir;
}

TEST(ConfigParse, ReadsEachKeyOverItsDefault)
{
    const good_case cases[] = {
        {"apn=internet\n", "apn=internet"},
        {"  apn =  3gnet.mnc001.mcc460  \r\n", "apn=3gnet.mnc001.mcc460"},
        {"dialer_args=user  pass 2\n", "dialer_args=[user][pass][2]"},
        {"# dialer=/bin/x\n\n   \ndialer=/opt/qm/quectel-CM", "dialer=/opt/qm/quectel-CM"},
        {"modem_port=/dev/ttyUSB3\n", "modem_port=/dev/ttyUSB3"},
        {"wwan_interface=wwan0\n", "wwan_interface=wwan0"},
        {"notify_url=http://localhost:8080/api/notify\n", "notify_url=http://localhost:8080/api/notify"},
        {"card_mount_dir=/media/card\n", "card_mount_dir=/media/card"},
    };
    const tesmar_config defaults;
    for (const good_case &c : cases) {
        tesmar_config config;
        std::string error;
        ASSERT_EQ(config_parse(c.text, file, config, error), 0) << c.text << error;
        const std::string changed = c.changed;
        const std::string key = changed.substr(0, changed.find('='));
        EXPECT_EQ(key + "=" + setting(config, key), changed);
        for (const char *other : {"apn", "dialer_args", "dialer", "modem_port", "wwan_interface", "notify_url",
                                  "card_mount_dir"}) {
            if (key != other) {
                EXPECT_EQ(setting(config, other), setting(defaults, other)) << other << " after " << c.text;
            }
        }
    }
}

TEST(ConfigParse, EmptyFileKeepsTodaysValues)
{
    tesmar_config config;
    std::string error;
    ASSERT_EQ(config_parse("", file, config, error), 0);
    EXPECT_EQ(config.apn, "cmnet");
    EXPECT_TRUE(config.dialer_args.empty());
    EXPECT_EQ(config.dialer, "/usr/bin/quectel-CM");
    EXPECT_EQ(config.modem_port, "/dev/ttyUSB2");
    EXPECT_EQ(config.wwan_interface, "wwu1u2i4");
    EXPECT_EQ(config.notify_url, "http://127.0.0.1/api/platform_notify");
    EXPECT_EQ(config.card_mount_dir, "/home/pi");
}

TEST(ConfigParse, BadLineIsNamedAndNothingIsTaken)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"# ok\n\napn=\n", "3: empty value for apn"},
        {"apn\n", "1: expected key=value"},
        {"colour=blue\n", "1: unknown key 'colour'"},
        {"APN=internet\n", "1: unknown key 'APN'"},
        {"apn=a\napn=b\n", "2: duplicate key apn"},
        {"apn=inter net\n", "1: value for apn is not an access point name"},
        {"apn=x;reboot\n", "1: value for apn is not an access point name"},
        {"dialer=bin/quectel-CM\n", "1: value for dialer is not an absolute path"},
        {"dialer=/usr/../tmp/x\n", "1: value for dialer is not a plain absolute path"},
        {"card_mount_dir=/\n", "1: value for card_mount_dir is not an absolute path"},
        {"card_mount_dir=/media//card\n", "1: value for card_mount_dir is not a plain absolute path"},
        {"modem_port=/dev/tty\x01USB\n", "1: control character in the value for modem_port"},
        {"apn=in\x7fternet\n", "1: control character in the value for apn"},
        {"dialer_args=user\tpass\n", "1: control character in the value for dialer_args"},
        {"wwan_interface=a/b\n", "1: value for wwan_interface is not an interface name"},
        {"wwan_interface=abcdefghijklmnop\n", "1: value for wwan_interface is not an interface name"},
        {"notify_url=https://x/\n", "1: value for notify_url is not an http:// URL"},
        {"notify_url=http://host:99999/\n", "1: value for notify_url has no valid port"},
        {"notify_url=http://:80/\n", "1: value for notify_url has no valid host"},
        {"notify_url=http://h/p?x=1\n", "1: value for notify_url is not an http:// URL without blanks or query"},
        {"dialer_args=1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n", "1: value for dialer_args has more than 16 words"},
    };
    for (const auto &c : cases) {
        tesmar_config config;
        config.apn = "kept";
        std::string error;
        EXPECT_EQ(config_parse(c.text, file, config, error), -1) << c.text;
        EXPECT_EQ(error, std::string(file) + ":" + c.error) << c.text;
        EXPECT_EQ(config.apn, "kept") << c.text;
    }
}

// Values the daemon could not use whole: refused, rather than cut or failing later.
TEST(ConfigParse, ValuesTooLongToUseAreRefused)
{
    const std::string name(NAME_MAX, 'n');
    std::string long_path;
    while (long_path.size() < PATH_MAX)
        long_path += "/" + name;
    const std::string room_path = long_path.substr(0, PATH_MAX - 64);  // a dialer may be this long
    const struct {
        std::string line;
        const char *error;  // null: accepted
    } cases[] = {
        {"dialer=" + long_path, "value for dialer is longer than a path can be"},
        {"modem_port=/dev/" + std::string(NAME_MAX + 1, 't'), "value for modem_port has a name longer than a file name can be"},
        {"dialer=" + room_path, nullptr},
        {"card_mount_dir=" + long_path, "value for card_mount_dir is longer than a path can be"},
        {"card_mount_dir=" + room_path, "value for card_mount_dir leaves no room for a card's mount point below it"},
        {"card_mount_dir=" + room_path.substr(0, PATH_MAX - 65), nullptr},
        {"notify_url=http://" + std::string(128, 'h') + "/n", "value for notify_url has a host longer than 127 characters"},
        {"notify_url=http://" + std::string(127, 'h') + ":8080/n", nullptr},
        {"notify_url=http://h/" + std::string(383, 'p'), "value for notify_url has a path longer than 383 characters"},
        {"notify_url=http://h:81/" + std::string(382, 'p'), nullptr},
    };
    for (const auto &c : cases) {
        tesmar_config config;
        std::string error;
        const std::string key = c.line.substr(0, c.line.find('='));
        EXPECT_EQ(config_parse(c.line + "\n", file, config, error), c.error ? -1 : 0) << key << c.line.size();
        if (c.error) {
            EXPECT_EQ(error, std::string(file) + ":1: " + c.error) << c.line.size();
        }
    }
}

// A FIFO at the file's path: the start goes on to its CONFIG: line instead of waiting for
// a writer that never comes.
TEST(ConfigLoad, FileThatIsNoRegularFileIsRefusedWithoutWaiting)
{
    const std::filesystem::path root = std::filesystem::temp_directory_path() / ("config-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "etc/tesmar_gpio");
    ASSERT_EQ(mkfifo((root / "etc/tesmar_gpio/tesmar_gpio.conf").c_str(), 0600), 0);
    setenv("TESMAR_GPIO_ROOT", root.c_str(), 1);
    testing::internal::CaptureStderr();
    auto loaded = std::async(std::launch::async, config_load);
    const bool returned = loaded.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!returned) {  // let the blocked open go, so the test ends
        int writer = open((root / "etc/tesmar_gpio/tesmar_gpio.conf").c_str(), O_WRONLY | O_CLOEXEC);
        close(writer);
    }
    const int result = loaded.get();
    const std::string errors = testing::internal::GetCapturedStderr();
    unsetenv("TESMAR_GPIO_ROOT");
    std::filesystem::remove_all(root);
    ASSERT_TRUE(returned);
    EXPECT_EQ(result, -1);
    EXPECT_NE(errors.find("CONFIG: /etc/tesmar_gpio/tesmar_gpio.conf: not a regular file\n"), std::string::npos) << errors;
}

}  // namespace
