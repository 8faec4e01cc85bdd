#include "fake_gpiod_control.h"
#include "gpio.h"
#include "sim_board.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <barrier>
#include <cstdlib>
#include <functional>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// Chip number and offset of the lines the manager requests.
constexpr int BEEP_CHIP = 1, BEEP_OFFSET = 11;
constexpr int VOUT_CHIP = 6, VOUT_OFFSET = 13;
constexpr int NA_CHIP = 8, NA_OFFSET = 1;

class GpioTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TESMAR_GPIO_ROOT", board.root().c_str(), 1);
        fake_gpiod_reset();
    }
    void TearDown() override { gpio_cleanup(); }

    // Runs the three init steps, swallowing their log lines.
    void init_all()
    {
        CaptureStdout();
        ASSERT_EQ(gpio_init(), 0);
        ASSERT_EQ(gpio_init_outputs(), 0);
        ASSERT_EQ(gpio_init_inputs(), 0);
        GetCapturedStdout();
    }

    std::string request_of(int chip, unsigned offset)
    {
        return read_file(board.line_file(chip, offset, ".request"));
    }

    SimBoard board;
};

TEST_F(GpioTest, InitOpensEachChipOnceInTableOrder)
{
    CaptureStdout();
    ASSERT_EQ(gpio_init(), 0);
    EXPECT_EQ(GetCapturedStdout(), "GPIO: Opened 4 chips\n");

    std::vector<std::string> expected;
    for (int chip : {3, 6, 8, 1})
        expected.push_back(board.path("/dev/gpiochip" + std::to_string(chip)));
    EXPECT_EQ(fake_gpiod_opened_chips(), expected);
    EXPECT_EQ(fake_gpiod_open_chip_count(), 4);
}

TEST_F(GpioTest, RepeatedInitDoesNotLeakChips)
{
    CaptureStdout();
    ASSERT_EQ(gpio_init(), 0);
    ASSERT_EQ(gpio_init(), 0);
    GetCapturedStdout();
    EXPECT_EQ(fake_gpiod_open_chip_count(), 4);
}

TEST_F(GpioTest, InitLogsSkippedLedLinesThenOutputsThenInputs)
{
    CaptureStdout();
    ASSERT_EQ(gpio_init(), 0);
    ASSERT_EQ(gpio_init_outputs(), 0);
    ASSERT_EQ(gpio_init_inputs(), 0);
    std::string expected = "GPIO: Opened 4 chips\n";
    for (int n = 1; n <= 7; n++)
        expected += "GPIO: Skipping SYS_LED" + std::to_string(n) + " (managed by kernel gpio-leds)\n";
    expected += "GPIO: Initialized output BEEP (offset 11)\n"
                "GPIO: Initialized output VOUT12V (offset 13)\n"
                "GPIO: Initialized output NA (offset 1)\n"
                "GPIO: Initialized input 4G (offset 9)\n"
                "GPIO: Initialized input VALID1 (offset 11)\n"
                "GPIO: Initialized input VALID2 (offset 12)\n"
                "GPIO: Initialized input WIFI (offset 10)\n";
    EXPECT_EQ(GetCapturedStdout(), expected);
}

TEST_F(GpioTest, OutputsAreRequestedPushPullAndDrivenLow)
{
    // Leave the lines high beforehand, as a crashed run could.
    board.set_level(BEEP_CHIP, BEEP_OFFSET, 1);
    board.set_level(VOUT_CHIP, VOUT_OFFSET, 1);
    init_all();
    for (auto [chip, offset] : {std::pair{BEEP_CHIP, BEEP_OFFSET}, {VOUT_CHIP, VOUT_OFFSET}, {NA_CHIP, NA_OFFSET}}) {
        EXPECT_EQ(request_of(chip, offset), "direction=output drive=push-pull bias=as-is active-low=0 edge=none "
                                            "value=0\nowner=" + std::to_string(getpid()) + "\n");
        EXPECT_EQ(board.level(chip, offset), 0);
    }
    EXPECT_EQ(fake_gpiod_open_request_count(), 7);
}

TEST_F(GpioTest, InputsAreRequestedWithPullUpBothEdgesAndDebounce)
{
    init_all();
    for (auto [chip, offset] : {std::pair{1, 9u}, {6, 11u}, {6, 12u}, {8, 10u}}) {
        std::string settings = request_of(chip, offset);
        for (const char *part : {"direction=input", "bias=pull-up", "active-low=0", "edge=both", "debounce-us=5000"})
            EXPECT_NE(settings.find(part), std::string::npos) << settings;
    }
    for (int id = 0; id < GPIO_INPUT_COUNT; id++)
        EXPECT_GE(gpio_input_event_fd(id), 0) << id;
}

// VALID1 and VALID2 share chip 6: one refusal makes both polled, with one line for the chip.
TEST_F(GpioTest, ChipRefusingEdgesGetsItsInputsPolledWithOneLogLine)
{
    write_file(board.line_file(6, 11, ".no-edge"), "");
    CaptureStderr();
    init_all();
    EXPECT_EQ(GetCapturedStderr(), "GPIO: No edge events from /dev/gpiochip6 (No such device or address), its "
                                   "inputs are polled\n");
    const bool edges[GPIO_INPUT_COUNT] = {true, false, false, true};
    for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
        EXPECT_EQ(gpio_input_event_fd(id) >= 0, edges[id]) << id;
        int levels[4];
        EXPECT_EQ(gpio_read_input_edges(id, levels, 4) >= 0, edges[id]) << id;
    }
    EXPECT_NE(request_of(6, 11).find("edge=none"), std::string::npos);
    EXPECT_NE(request_of(6, 12).find("edge=none"), std::string::npos);
    EXPECT_EQ(gpio_get_input(IN_VALID2), board.level(6, 12));
}

TEST_F(GpioTest, LedLinesAreNeverRequested)
{
    init_all();
    for (auto [chip, offset] : {std::pair{3, 11u}, {6, 8u}, {8, 5u}, {1, 6u}, {8, 9u}, {8, 6u}, {8, 7u}})
        EXPECT_FALSE(file_exists(board.line_file(chip, offset, ".request"))) << chip << "/" << offset;
}

class GpioLedIdTest : public GpioTest, public testing::WithParamInterface<int> {};

TEST_P(GpioLedIdTest, SetAndToggleOnLedIdFailSilently)
{
    init_all();
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(GetParam(), 1), -1);
    EXPECT_EQ(gpio_toggle_output(GetParam()), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(gpio_get_output(GetParam()), 0);
}

INSTANTIATE_TEST_SUITE_P(LedLines, GpioLedIdTest, testing::Range(0, 7));

TEST_F(GpioTest, SetRemembersTheValueAsPassed)
{
    init_all();
    ASSERT_EQ(gpio_set_output(OUT_VOUT12V, 5), 0);
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 1);
    EXPECT_EQ(gpio_get_output(OUT_VOUT12V), 5);

    ASSERT_EQ(gpio_set_output(OUT_VOUT12V, 0), 0);
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 0);
    EXPECT_EQ(gpio_get_output(OUT_VOUT12V), 0);

    ASSERT_EQ(gpio_set_output(OUT_VOUT12V, -3), 0);
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 1);
    EXPECT_EQ(gpio_get_output(OUT_VOUT12V), -3);
}

TEST_F(GpioTest, ToggleFlipsTheRememberedValue)
{
    init_all();
    ASSERT_EQ(gpio_toggle_output(OUT_BEEP), 0);
    EXPECT_EQ(gpio_get_output(OUT_BEEP), 1);
    EXPECT_EQ(board.level(BEEP_CHIP, BEEP_OFFSET), 1);

    ASSERT_EQ(gpio_set_output(OUT_BEEP, 7), 0);
    ASSERT_EQ(gpio_toggle_output(OUT_BEEP), 0);
    EXPECT_EQ(gpio_get_output(OUT_BEEP), 0);
    EXPECT_EQ(board.level(BEEP_CHIP, BEEP_OFFSET), 0);
}

TEST_F(GpioTest, IdsOutsideTheTablesAreRejected)
{
    init_all();
    for (int id : {-1, 10, 11, 255, 1 << 30}) {
        EXPECT_EQ(gpio_get_output(id), -1) << id;
        EXPECT_EQ(gpio_set_output(id, 1), -1) << id;
        EXPECT_EQ(gpio_toggle_output(id), -1) << id;
        EXPECT_STREQ(gpio_output_name(id), "") << id;
    }
    for (int id : {-1, 4, 5, 1 << 30}) {
        EXPECT_EQ(gpio_get_input(id), -1) << id;
        EXPECT_STREQ(gpio_input_name(id), "") << id;
    }
    EXPECT_STREQ(gpio_output_name(OUT_NA), "NA");
    EXPECT_STREQ(gpio_input_name(IN_WIFI), "WIFI");
}

TEST_F(GpioTest, LinesAreUnusableBeforeTheyAreRequested)
{
    CaptureStdout();
    ASSERT_EQ(gpio_init(), 0);
    GetCapturedStdout();
    EXPECT_EQ(gpio_set_output(OUT_BEEP, 1), -1);
    EXPECT_EQ(gpio_get_input(IN_VALID1), -1);
    EXPECT_EQ(gpio_get_output(OUT_BEEP), 0);
}

TEST_F(GpioTest, InputsReadTheLineLevel)
{
    init_all();
    board.set_level(6, 11, 1);
    board.set_level(6, 12, 0);
    EXPECT_EQ(gpio_get_input(IN_VALID1), 1);
    EXPECT_EQ(gpio_get_input(IN_VALID2), 0);
    board.set_level(6, 11, 0);
    EXPECT_EQ(gpio_get_input(IN_VALID1), 0);
}

TEST_F(GpioTest, FailedReadGivesMinusOneWithoutMessage)
{
    init_all();
    write_file(board.line_file(6, 11, ".fail-read"), "");
    CaptureStderr();
    EXPECT_EQ(gpio_get_input(IN_VALID1), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(GpioTest, FailedDriveIsLoggedAndKeepsTheRememberedValue)
{
    init_all();
    ASSERT_EQ(gpio_set_output(OUT_VOUT12V, 1), 0);
    write_file(board.line_file(VOUT_CHIP, VOUT_OFFSET, ".fail-write"), "");
    CaptureStderr();
    EXPECT_EQ(gpio_set_output(OUT_VOUT12V, 0), -1);
    EXPECT_EQ(gpio_toggle_output(OUT_VOUT12V), -1);
    EXPECT_EQ(GetCapturedStderr(), "Failed to set VOUT12V: Input/output error\n"
                                   "Failed to set VOUT12V: Input/output error\n");
    EXPECT_EQ(gpio_get_output(OUT_VOUT12V), 1);
    EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 1);
}

TEST_F(GpioTest, MissingChipIsNamedAndStopsInit)
{
    ASSERT_EQ(system(("rm -rf " + board.path("/dev/gpiochip8")).c_str()), 0);
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(gpio_init(), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), "Failed to open /dev/gpiochip8: No such file or directory\n");
    // The chips opened before the failure stay cached until cleanup.
    EXPECT_EQ(fake_gpiod_open_chip_count(), 2);
    gpio_cleanup();
    EXPECT_EQ(fake_gpiod_open_chip_count(), 0);
}

TEST_F(GpioTest, CacheHoldsAtMostTenChips)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 11; i++) {
        paths.push_back("/extra/chip" + std::to_string(i));
        ASSERT_EQ(system(("mkdir -p " + board.path(paths.back())).c_str()), 0);
    }
    gpiod_chip *first = nullptr;
    for (int i = 0; i < 10; i++) {
        gpiod_chip *chip = gpio_get_chip(paths[i].c_str());
        ASSERT_NE(chip, nullptr) << i;
        if (i == 0)
            first = chip;
    }
    CaptureStderr();
    EXPECT_EQ(gpio_get_chip(paths[10].c_str()), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "Too many chips\n");
    // A cached path is still served, without opening it again.
    EXPECT_EQ(gpio_get_chip(paths[0].c_str()), first);
    EXPECT_EQ(fake_gpiod_open_chip_count(), 10);
}

struct LibraryFailure {
    const char *function;
    bool inputs;
    const char *message;
};

class GpioLibraryFailureTest : public GpioTest, public testing::WithParamInterface<LibraryFailure> {};

TEST_P(GpioLibraryFailureTest, FirstLineFailsWithItsMessage)
{
    CaptureStdout();
    ASSERT_EQ(gpio_init(), 0);
    if (GetParam().inputs) {
        ASSERT_EQ(gpio_init_outputs(), 0);
    }
    GetCapturedStdout();

    fake_gpiod_fail_next(GetParam().function);
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(GetParam().inputs ? gpio_init_inputs() : gpio_init_outputs(), -1);
    EXPECT_EQ(GetCapturedStderr(), GetParam().message);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.find("GPIO: Initialized"), std::string::npos) << out;

    // Nothing half-made survives: cleanup leaves no request open.
    gpio_cleanup();
    EXPECT_EQ(fake_gpiod_open_request_count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, GpioLibraryFailureTest,
    testing::Values(
        LibraryFailure{"gpiod_line_settings_new", false, "Failed to create line settings\n"},
        LibraryFailure{"gpiod_line_config_new", false, "Failed to create line config\n"},
        LibraryFailure{"gpiod_line_config_add_line_settings", false,
                       "Failed to add line settings for BEEP: Input/output error\n"},
        LibraryFailure{"gpiod_chip_request_lines", false, "Failed to request line for BEEP: Input/output error\n"},
        LibraryFailure{"gpiod_line_settings_new", true, "Failed to create line settings\n"},
        LibraryFailure{"gpiod_line_config_new", true, "Failed to create line config\n"},
        LibraryFailure{"gpiod_line_config_add_line_settings", true, "Failed to add line settings for 4G\n"},
        LibraryFailure{"gpiod_chip_request_lines", true,
                       "Failed to request input line for 4G: Input/output error\n"}),
    [](const testing::TestParamInfo<LibraryFailure> &param_info) {
        return std::string(param_info.param.function) + (param_info.param.inputs ? "_inputs" : "_outputs");
    });

TEST_F(GpioTest, RequestFailurePartWayKeepsEarlierLinesUntilCleanup)
{
    write_file(board.line_file(VOUT_CHIP, VOUT_OFFSET, ".fail-request"), "");
    CaptureStdout();
    CaptureStderr();
    ASSERT_EQ(gpio_init(), 0);
    EXPECT_EQ(gpio_init_outputs(), -1);
    EXPECT_EQ(GetCapturedStderr(), "Failed to request line for VOUT12V: Device or resource busy\n");
    GetCapturedStdout();
    EXPECT_EQ(fake_gpiod_open_request_count(), 1);  // BEEP
    EXPECT_EQ(gpio_set_output(OUT_BEEP, 1), 0);
    gpio_cleanup();
    EXPECT_EQ(fake_gpiod_open_request_count(), 0);
}

TEST_F(GpioTest, CleanupReleasesEverythingAndIsHarmlessBeforeInitAndTwice)
{
    gpio_cleanup();  // before any init
    init_all();
    gpio_cleanup();
    CaptureStdout();
    gpio_cleanup();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(fake_gpiod_open_request_count(), 0);
    EXPECT_EQ(fake_gpiod_open_chip_count(), 0);
    EXPECT_TRUE(board.requested_lines().empty());
    EXPECT_EQ(gpio_set_output(OUT_BEEP, 1), -1);
}

// ---- Two threads driving one output at the same moment ----

struct RaceCase {
    const char *name;
    std::function<int()> first, second;
};

class GpioRaceTest : public GpioTest, public testing::WithParamInterface<RaceCase> {};

TEST_P(GpioRaceTest, RememberedValueAlwaysMatchesTheLine)
{
    init_all();
    constexpr int trials = 2000;
    std::barrier start(2);
    int mismatches = 0;
    int first_mismatch = -1;
    std::jthread other([&] {
        for (int i = 0; i < trials; i++) {
            start.arrive_and_wait();
            GetParam().second();
            start.arrive_and_wait();
        }
    });
    for (int i = 0; i < trials; i++) {
        start.arrive_and_wait();
        GetParam().first();
        start.arrive_and_wait();
        // Both drives are done: what is remembered must be what the line shows.
        if ((gpio_get_output(OUT_VOUT12V) != 0) != (board.level(VOUT_CHIP, VOUT_OFFSET) == 1) && mismatches++ == 0)
            first_mismatch = i;
    }
    EXPECT_EQ(mismatches, 0) << "first at trial " << first_mismatch;
}

INSTANTIATE_TEST_SUITE_P(
    Drives, GpioRaceTest,
    testing::Values(RaceCase{"OnAgainstOff", [] { return gpio_set_output(OUT_VOUT12V, 1); },
                             [] { return gpio_set_output(OUT_VOUT12V, 0); }},
                    RaceCase{"ToggleAgainstSet", [] { return gpio_toggle_output(OUT_VOUT12V); },
                             [] { return gpio_set_output(OUT_VOUT12V, 1); }}),
    [](const testing::TestParamInfo<RaceCase> &param_info) { return std::string(param_info.param.name); });

// ---- A line held by another process, as the kernel sees it ----

enum class Holder { LiveProcess, ZombieProcess, EndedProcess, ThisProcess };

struct HolderCase {
    const char *name;
    Holder holder;
    bool busy;
};

class GpioLineOwnerTest : public GpioTest, public testing::WithParamInterface<HolderCase> {
protected:
    void TearDown() override
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        GpioTest::TearDown();
    }

    // A process in the state the case asks for; its pid.
    pid_t make_holder()
    {
        if (GetParam().holder == Holder::ThisProcess)
            return getpid();
        child = fork();
        if (child == 0) {
            if (GetParam().holder == Holder::LiveProcess)
                pause();
            _exit(0);
        }
        pid_t pid = child;
        if (GetParam().holder == Holder::EndedProcess) {
            waitpid(child, nullptr, 0);
            child = -1;
        } else if (GetParam().holder == Holder::ZombieProcess) {
            siginfo_t info;
            waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
        }
        return pid;
    }

    pid_t child = -1;
};

TEST_P(GpioLineOwnerTest, LineHeldByAnotherLiveProcessIsBusy)
{
    pid_t holder = make_holder();
    write_file(board.line_file(VOUT_CHIP, VOUT_OFFSET, ".request"),
               "direction=output drive=push-pull bias=as-is active-low=0 edge=none value=1\nowner=" +
                   std::to_string(holder) + "\n");
    board.set_level(VOUT_CHIP, VOUT_OFFSET, 1);
    CaptureStdout();
    CaptureStderr();
    ASSERT_EQ(gpio_init(), 0);
    const int result = gpio_init_outputs();
    std::string errors = GetCapturedStderr();
    GetCapturedStdout();
    if (GetParam().busy) {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(errors, "Failed to request line for VOUT12V: Device or resource busy\n");
        EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 1) << "the holder's output was changed";
    } else {
        EXPECT_EQ(result, 0) << errors;
        EXPECT_EQ(board.level(VOUT_CHIP, VOUT_OFFSET), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Holders, GpioLineOwnerTest,
                         testing::Values(HolderCase{"Live", Holder::LiveProcess, true},
                                         HolderCase{"Zombie", Holder::ZombieProcess, false},
                                         HolderCase{"Ended", Holder::EndedProcess, false},
                                         HolderCase{"Self", Holder::ThisProcess, false}),
                         [](const testing::TestParamInfo<HolderCase> &param_info) {
                             return std::string(param_info.param.name);
                         });

}  // namespace
