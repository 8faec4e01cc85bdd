#include "hw_board.h"
#include "led.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <climits>
#include <functional>

namespace {

class LedTest : public HwBoardTest {
protected:
    void SetUp() override
    {
        HwBoardTest::SetUp();
        CaptureStdout();
        led_init();
        GetCapturedStdout();
    }

    std::string dir(int index) const { return board.path("/sys/class/leds/sys_led" + std::to_string(index + 1)); }
    std::string attr(int index, const char *name) const { return board.led(index + 1, name); }

    // The attribute files written while FN runs, in order, as "N/attribute" (N the index).
    std::vector<std::string> writes_during(const std::function<void()> &fn) const
    {
        int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        std::map<int, int> index_of;
        for (int index = 0; index < LED_COUNT; index++)
            index_of[inotify_add_watch(fd, dir(index).c_str(), IN_CLOSE_WRITE)] = index;
        fn();
        std::vector<std::string> writes;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            for (char *p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len) {
                auto *event = reinterpret_cast<inotify_event *>(p);
                writes.push_back(std::to_string(index_of[event->wd]) + "/" + event->name);
            }
        }
        close(fd);
        return writes;
    }

    void remove_dir(int index)
    {
        for (const char *name : {"trigger", "brightness", "delay_on", "delay_off"})
            unlink((dir(index) + "/" + name).c_str());
        ASSERT_EQ(rmdir(dir(index).c_str()), 0);
    }
};

const std::vector<std::string> steady_writes = {"4/trigger", "4/brightness"};
const std::vector<std::string> blink_writes = {"4/trigger", "4/delay_on", "4/delay_off"};

// Run in order on one LED: some rows depend on the frequency or mode left by earlier ones.
TEST_F(LedTest, OperationsWriteTheTriggerFirstThenTheirValues)
{
    struct {
        const char *name;
        std::function<int()> operation;
        int mode;
        const char *trigger;  // nullptr: nothing may be written
        const char *value;    // brightness for "none", both delays for "timer"
    } cases[] = {
        {"on", [] { return led_on(LED_WIFI); }, LED_MODE_ON, "none", "255"},
        {"off", [] { return led_off(LED_WIFI); }, LED_MODE_OFF, "none", "0"},
        {"blink -3", [] { return led_blink(LED_WIFI, -3); }, LED_MODE_BLINK_SLOW, "timer", "500"},
        {"blink 0", [] { return led_blink(LED_WIFI, 0); }, LED_MODE_BLINK_SLOW, "timer", "500"},
        {"custom from stored 1", [] { return led_set_mode(LED_WIFI, 4); }, LED_MODE_BLINK_CUSTOM, "timer", "500"},
        {"blink 1", [] { return led_blink(LED_WIFI, 1); }, LED_MODE_BLINK_SLOW, "timer", "500"},
        {"blink 2", [] { return led_blink(LED_WIFI, 2); }, LED_MODE_BLINK_CUSTOM, "timer", "250"},
        {"blink 3", [] { return led_blink(LED_WIFI, 3); }, LED_MODE_BLINK_CUSTOM, "timer", "166"},
        {"blink 4", [] { return led_blink(LED_WIFI, 4); }, LED_MODE_BLINK_CUSTOM, "timer", "125"},
        {"blink 5", [] { return led_blink(LED_WIFI, 5); }, LED_MODE_BLINK_FAST, "timer", "100"},
        {"blink 9", [] { return led_blink(LED_WIFI, 9); }, LED_MODE_BLINK_FAST, "timer", "100"},
        {"custom from stored 9", [] { return led_set_mode(LED_WIFI, 4); }, LED_MODE_BLINK_CUSTOM, "timer", "55"},
        {"mode 2", [] { return led_set_mode(LED_WIFI, 2); }, LED_MODE_BLINK_SLOW, "timer", "500"},
        {"mode 3", [] { return led_set_mode(LED_WIFI, 3); }, LED_MODE_BLINK_FAST, "timer", "100"},
        {"toggle blinking", [] { return led_toggle(LED_WIFI); }, LED_MODE_ON, "none", "255"},
        {"toggle on", [] { return led_toggle(LED_WIFI); }, LED_MODE_OFF, "none", "0"},
        {"mode 7", [] { return led_set_mode(LED_WIFI, 7); }, 7, nullptr, nullptr},
        {"toggle unknown", [] { return led_toggle(LED_WIFI); }, LED_MODE_ON, "none", "255"},
        {"blink huge", [] { return led_blink(LED_WIFI, INT_MAX); }, LED_MODE_BLINK_FAST, "timer", "100"},
        {"custom from huge", [] { return led_set_mode(LED_WIFI, 4); }, LED_MODE_BLINK_CUSTOM, "timer", "10"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> writes = writes_during([&] { EXPECT_EQ(c.operation(), 0); });
        EXPECT_EQ(led_get_mode(LED_WIFI), c.mode);
        if (c.trigger == nullptr) {
            EXPECT_TRUE(writes.empty());
            continue;
        }
        EXPECT_EQ(attr(LED_WIFI, "trigger"), c.trigger);
        if (std::string(c.trigger) == "none") {
            EXPECT_EQ(writes, steady_writes);
            EXPECT_EQ(attr(LED_WIFI, "brightness"), c.value);
        } else {
            EXPECT_EQ(writes, blink_writes);
            EXPECT_EQ(attr(LED_WIFI, "delay_on"), c.value);
            EXPECT_EQ(attr(LED_WIFI, "delay_off"), c.value);
        }
    }
}

TEST_F(LedTest, OutOfRangeIndexIsRefusedWithoutAnyWrite)
{
    for (int index : {-1, 7, INT_MIN, INT_MAX}) {
        std::vector<std::string> writes = writes_during([index] {
            EXPECT_EQ(led_on(index) + led_off(index) + led_toggle(index), -3) << index;
            EXPECT_EQ(led_blink(index, 3) + led_set_mode(index, LED_MODE_ON), -2) << index;
        });
        EXPECT_TRUE(writes.empty()) << index;
        EXPECT_EQ(led_get_mode(index), LED_MODE_OFF) << index;
    }
}

TEST_F(LedTest, InitAndCleanupDarkenEveryLed)
{
    for (int index = 0; index < LED_COUNT; index++) {
        led_blink(index, 1);
        write_file(dir(index) + "/brightness", "255");
    }
    CaptureStdout();
    EXPECT_EQ(led_init(), 0);
    for (int index = 0; index < LED_COUNT; index++) {
        EXPECT_EQ(attr(index, "trigger") + "/" + attr(index, "brightness"), "none/0") << index;
        EXPECT_EQ(led_get_mode(index), LED_MODE_OFF) << index;
        led_on(index);
    }
    led_cleanup();
    EXPECT_EQ(GetCapturedStdout(), "LED: Module initialized (sysfs)\nLED: Module cleaned up\n");
    for (int index = 0; index < LED_COUNT; index++) {
        EXPECT_EQ(attr(index, "trigger") + "/" + attr(index, "brightness"), "none/0") << index;
        EXPECT_EQ(led_get_mode(index), LED_MODE_ON) << "cleanup keeps the modes";
    }
}

TEST_F(LedTest, MissingLedDirectoryIsLoggedAndStillAnswered)
{
    remove_dir(LED_STORAGE);
    CaptureStderr();
    EXPECT_EQ(led_on(LED_STORAGE), 0);
    EXPECT_EQ(led_blink(LED_STORAGE, 1), 0);  // a failed delay_on leaves delay_off alone
    EXPECT_EQ(GetCapturedStderr(), "LED: Failed to open /sys/class/leds/sys_led3/trigger: No such file or directory\n"
                                   "LED: Failed to open /sys/class/leds/sys_led3/brightness: No such file or directory\n"
                                   "LED: Failed to open /sys/class/leds/sys_led3/trigger: No such file or directory\n"
                                   "LED: Failed to open /sys/class/leds/sys_led3/delay_on: No such file or directory\n");
    EXPECT_EQ(led_get_mode(LED_STORAGE), LED_MODE_BLINK_SLOW);
}

// An attribute that refuses the value (here /dev/full) is reported when written, not lost.
TEST_F(LedTest, RefusedWriteIsReported)
{
    const std::string delay_on = dir(LED_WIFI) + "/delay_on";
    unlink(delay_on.c_str());
    ASSERT_EQ(symlink("/dev/full", delay_on.c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(writes_during([] { EXPECT_EQ(led_blink(LED_WIFI, 1), 0); }), std::vector<std::string>{"4/trigger"});
    EXPECT_EQ(GetCapturedStderr(), "LED: Failed to write /sys/class/leds/sys_led5/delay_on: No space left on device\n");
}

}  // namespace
