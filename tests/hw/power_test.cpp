#include "hw_board.h"
#include "power.h"

#include <climits>

namespace {

constexpr int unreadable = -1;

class PowerTest : public HwBoardTest {};

// The inputs change after init, so the status must come from live reads.
TEST_F(PowerTest, StatusFollowsLiveReadsOfBothSources)
{
    const int cases[][3] = {{0, 0, POWER_NONE},          {1, 0, POWER_EXTERNAL},        {0, 1, POWER_INTERNAL},
                            {1, 1, POWER_BOTH},          {unreadable, 0, POWER_UNKNOWN}, {unreadable, 1, POWER_UNKNOWN},
                            {1, unreadable, POWER_UNKNOWN}};
    for (const auto &[valid1, valid2, status] : cases) {
        for (int id : {IN_VALID1, IN_VALID2}) {
            int value = id == IN_VALID1 ? valid1 : valid2;
            unlink(line_file(input_lines[id], ".fail-read").c_str());
            if (value == unreadable)
                write_file(line_file(input_lines[id], ".fail-read"), "");
            else
                set_level(input_lines[id], value);
        }
        EXPECT_EQ(power_get_status(), status) << valid1 << " " << valid2;
        EXPECT_EQ(power_read_valid1(), valid1);
        EXPECT_EQ(power_read_valid2(), valid2);
    }
}

TEST_F(PowerTest, TwelveVoltIsOffAtInitAndCleanupAndGetReportsTheLastWrite)
{
    gpio_set_output(OUT_VOUT12V, 1);
    CaptureStdout();
    EXPECT_EQ(power_init(), 0);
    EXPECT_EQ(level(vout12v_line), 0);
    EXPECT_EQ(power_12v_get(), 0);

    EXPECT_EQ(power_12v_on(), 0);
    EXPECT_EQ(level(vout12v_line), 1);
    EXPECT_EQ(power_12v_get(), 1);
    write_file(line_file(vout12v_line, ".fail-write"), "");
    EXPECT_EQ(power_12v_off(), -1);
    EXPECT_EQ(power_12v_get(), 1) << "a failed write keeps the last value";

    unlink(line_file(vout12v_line, ".fail-write").c_str());
    power_cleanup();
    EXPECT_EQ(level(vout12v_line), 0);
    EXPECT_EQ(power_12v_get(), 0);
    EXPECT_EQ(GetCapturedStdout(), "POWER: Module initialized\nPOWER: Module cleaned up\n");
}

TEST(PowerStatusName, NamesTheFourStatusesAndUnknownForTheRest)
{
    const std::pair<unsigned, const char *> names[] = {{0, "无电源"}, {1, "外接电源"}, {2, "内接电源"}, {3, "双电源"},
                                                       {4, "未知"},   {9, "未知"},      {UINT_MAX, "未知"}};
    for (const auto &[status, name] : names)
        EXPECT_STREQ(power_status_name(status), name) << status;
}

}  // namespace
