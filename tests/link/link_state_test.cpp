#include "link_board.h"
#include "link_state_file.h"

#include <sys/stat.h>

#include <optional>
#include <thread>

namespace {

constexpr const char state_path[] = "/var/lib/tesmar_gpio/link_state";

class LinkStateTest : public LinkBoardTest {};

struct LoadCase {
    const char *name;
    std::optional<std::string> file;
    int enabled_4g;
    int enabled_wifi;
    const char *line;
};

class LinkStateLoad : public LinkStateTest, public testing::WithParamInterface<LoadCase> {};

TEST_P(LinkStateLoad, LoadsBothSwitchesOrNone)
{
    if (GetParam().file)
        write_board(state_path, *GetParam().file);
    EXPECT_EQ(link_init(), 0);
    EXPECT_EQ(link_get_4g_enabled(), GetParam().enabled_4g);
    EXPECT_EQ(link_get_wifi_enabled(), GetParam().enabled_wifi);
    EXPECT_EQ(out_count(GetParam().line), 1) << out();
    EXPECT_EQ(out_count("LINK: Module initialized"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    LinkFiles, LinkStateLoad,
    testing::Values(LoadCase{"Missing", std::nullopt, 0, 0, "LINK: No state file, defaults: 4G=0 WiFi=0"},
                    LoadCase{"BothOn", "1 1\n", 1, 1, "LINK: Loaded state: 4G=1 WiFi=1"},
                    LoadCase{"OneNumber", "1\n", 0, 0, "LINK: Loaded state: 4G=0 WiFi=0"},
                    LoadCase{"NotNumbers", "on off\n", 0, 0, "LINK: Loaded state: 4G=0 WiFi=0"},
                    LoadCase{"TwoLoadsAsOn", "2 0", 1, 0, "LINK: Loaded state: 4G=1 WiFi=0"},
                    // 256 is a zero byte in a status reply: on for the worker, off to the client.
                    LoadCase{"StrayBitsLoadAsOn", "256 -256\n", 1, 1, "LINK: Loaded state: 4G=1 WiFi=1"},
                    LoadCase{"SignsAndLines", "\n+1\n-1 7\n", 1, 1, "LINK: Loaded state: 4G=1 WiFi=1"},
                    LoadCase{"ZerosStayOff", "0\t-0\n", 0, 0, "LINK: Loaded state: 4G=0 WiFi=0"},
                    LoadCase{"BeyondInt", "1 99999999999\n", 0, 0, "LINK: Loaded state: 4G=0 WiFi=0"}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// The parser alone, on text that is not ended by a zero: only LENGTH bytes count.
TEST(LinkParseState, ReadsOnlyTheGivenBytes)
{
    const struct {
        const char *text;
        std::size_t length;
        int result;
        int enabled_4g;
        int enabled_wifi;
    } cases[] = {{"1 1", 2, -1, 0, 0}, {"0 10", 3, 0, 0, 1}, {"7 0x", 3, 0, 1, 0}, {nullptr, 0, -1, 0, 0}};
    for (const auto &c : cases) {
        int enabled_4g = 5;
        int enabled_wifi = 5;
        EXPECT_EQ(link_parse_state(c.text, c.length, &enabled_4g, &enabled_wifi), c.result) << c.length;
        EXPECT_EQ(enabled_4g, c.enabled_4g) << c.length;
        EXPECT_EQ(enabled_wifi, c.enabled_wifi) << c.length;
    }
}

TEST_F(LinkStateTest, FlipOfALoadedTwoWritesBothSwitches)
{
    write_board(state_path, "2 1");
    link_init();
    EXPECT_EQ(link_toggle_4g(), 0);
    EXPECT_EQ(board_file(state_path), "0 1\n");
    EXPECT_EQ(link_toggle_wifi(), 0);
    EXPECT_EQ(board_file(state_path), "0 0\n");
    EXPECT_EQ(link_toggle_4g(), 1);
    EXPECT_EQ(board_file(state_path), "1 0\n");
    EXPECT_EQ(out_count("LINK: 4G software toggle -> ON"), 1) << out();
}

TEST_F(LinkStateTest, CrashBeforeRenameLeavesTheOldStateWhole)
{
    write_board(state_path, "0 1\n");
    link_init();
    EXPECT_EXIT(
        {
            link_timing::before_state_rename = [] { _exit(3); };
            link_toggle_4g();
        },
        testing::ExitedWithCode(3), "");
    EXPECT_EQ(board_file(state_path), "0 1\n");
    // The next write replaces it whole, whatever was left in place of the temporary file.
    const std::string elsewhere = board.path("/elsewhere");
    write_file(elsewhere, "keep\n");
    const std::string temp = board.path("/var/lib/tesmar_gpio/link_state.tmp");
    unlink(temp.c_str());
    ASSERT_EQ(symlink(elsewhere.c_str(), temp.c_str()), 0);
    EXPECT_EQ(link_toggle_4g(), 1);
    EXPECT_EQ(board_file(state_path), "1 1\n");
    EXPECT_EQ(read_file(elsewhere), "keep\n");
}

TEST_F(LinkStateTest, MissingDirectoryKeepsTheFlipInMemoryOnly)
{
    link_init();
    ASSERT_EQ(std::system(("rm -r '" + board.path("/var/lib/tesmar_gpio") + "'").c_str()), 0);
    EXPECT_EQ(link_toggle_wifi(), 1);
    EXPECT_EQ(link_get_wifi_enabled(), 1);
    EXPECT_FALSE(file_exists(board.path("/var/lib/tesmar_gpio")));
    EXPECT_EQ(err(), "LINK: Failed to save /var/lib/tesmar_gpio/link_state: No such file or directory\n");
}

// A state file that cannot be replaced: the flip holds in memory, the old file stays, and
// the error names why.
struct SaveFailure {
    const char *name;
    const char *prepare;  // shell command, run in the state directory
    const char *error;    // the system's text for it
    bool needs_non_root;  // root writes through a read-only mode
};

class LinkStateSaveFailure : public LinkStateTest, public testing::WithParamInterface<SaveFailure> {};

TEST_P(LinkStateSaveFailure, IsLoggedAsAnErrorWithTheReason)
{
    if (GetParam().needs_non_root && geteuid() == 0)
        GTEST_SKIP() << "root writes into a read-only directory";
    write_board(state_path, "0 1\n");
    link_init();
    const std::string dir = board.path("/var/lib/tesmar_gpio");
    ASSERT_EQ(std::system(("cd '" + dir + "' && " + GetParam().prepare).c_str()), 0);
    EXPECT_EQ(link_toggle_4g(), 1);
    EXPECT_EQ(link_get_4g_enabled(), 1);
    EXPECT_EQ(err(), std::string("LINK: Failed to save /var/lib/tesmar_gpio/link_state: ") + GetParam().error + "\n");
    EXPECT_FALSE(file_exists(dir + "/link_state.tmp"));
    chmod(dir.c_str(), 0755);
}

INSTANTIATE_TEST_SUITE_P(
    LinkFiles, LinkStateSaveFailure,
    testing::Values(SaveFailure{"StatePathIsADirectory", "rm link_state && mkdir link_state", "Is a directory", false},
                    SaveFailure{"ReadOnlyDirectory", "chmod 555 .", "Permission denied", true}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(LinkStateTest, ConcurrentFlipsOfBothSwitchesLeaveBothLastValues)
{
    link_init();
    auto flip_4g = std::thread([] {
        for (int i = 0; i < 51; i++)
            link_toggle_4g();
    });
    for (int i = 0; i < 50; i++)
        link_toggle_wifi();
    flip_4g.join();
    EXPECT_EQ(board_file(state_path), "1 0\n");
}

// A press: the 4G or the WIFI key raised at a time on the (monotonic) debounce clock.
struct Press {
    int at_seconds;
    bool wifi;
};

struct DebounceCase {
    const char *name;
    std::vector<Press> presses;
    int toggles_4g;
    int toggles_wifi;
    int ignored;
};

class LinkDebounce : public LinkStateTest, public testing::WithParamInterface<DebounceCase> {};

// The clock here is a fake monotonic one that the wall clock never moves: presses are
// accepted or ignored by it alone, so a clock set back changes nothing. The first press
// comes 3 s after the clock's zero, as soon after boot as a board allows.
TEST_P(LinkDebounce, AcceptsOnePressPerKeyInTenSeconds)
{
    link_init();
    const auto start = fake_time;
    for (const Press &press : GetParam().presses) {
        fake_time = start + std::chrono::seconds(press.at_seconds);
        if (press.wifi)
            link_on_wifi_key(IN_WIFI, 1, 0);
        else
            link_on_4g_key(IN_4G, 1, 0);
    }
    const std::string text = out();
    const int toggled_4g = count_lines(text, "LINK: 4G toggled -> ON") + count_lines(text, "LINK: 4G toggled -> OFF");
    const int toggled_wifi =
        count_lines(text, "LINK: WiFi toggled -> ON") + count_lines(text, "LINK: WiFi toggled -> OFF");
    EXPECT_EQ(toggled_4g, GetParam().toggles_4g) << text;
    EXPECT_EQ(toggled_wifi, GetParam().toggles_wifi) << text;
    EXPECT_EQ(count_lines(text, "LINK: 4G toggle ignored (debounce 10s)") +
                  count_lines(text, "LINK: WiFi toggle ignored (debounce 10s)"),
              GetParam().ignored)
        << text;
    EXPECT_EQ(link_get_4g_enabled(), GetParam().toggles_4g % 2);
    EXPECT_EQ(link_get_wifi_enabled(), GetParam().toggles_wifi % 2);
    EXPECT_EQ(board_file(state_path), std::to_string(GetParam().toggles_4g % 2) + " " +
                                          std::to_string(GetParam().toggles_wifi % 2) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    LinkPresses, LinkDebounce,
    testing::Values(DebounceCase{"NineSecondsApartIgnored", {{0, false}, {9, false}}, 1, 0, 1},
                    DebounceCase{"TenSecondsApartAccepted", {{0, false}, {10, false}}, 2, 0, 0},
                    DebounceCase{"IgnoredPressDoesNotMoveTheWindow", {{0, false}, {5, false}, {10, false}}, 2, 0, 1},
                    DebounceCase{"KeysAreIndependent", {{0, false}, {1, true}, {2, false}, {3, true}}, 1, 1, 2},
                    DebounceCase{"WifiKeyAlike", {{0, true}, {9, true}, {19, true}}, 0, 2, 1}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

}  // namespace
