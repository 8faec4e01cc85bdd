#include "mount_table.h"

#include <gtest/gtest.h>

namespace {

struct unescape_case {
    const char *field;
    const char *decoded;
};

TEST(MountUnescape, DecodesTheKernelsOctalEscapesOnly)
{
    const unescape_case cases[] = {
        {"/home/pi/tmData", "/home/pi/tmData"},
        {"/home/pi/my\\040card", "/home/pi/my card"},
        {"/a\\011b\\012c\\134d", "/a\tb\nc\\d"},
        {"/x\\047y", "/x'y"},
        {"/trailing\\04", "/trailing\\04"},  // cut short: kept as it is
        {"/not\\89octal", "/not\\89octal"},
        {"\\", "\\"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mount_unescape(c.field), c.decoded) << c.field;
}

TEST(ParseMounts, TakesFourDecodedFieldsAndSkipsShortLines)
{
    auto entries = parse_mounts("/dev/mmcblk0p1 /home/pi/my\\040card vfat rw,relatime 0 0\n"
                                "short line\n"
                                "\n"
                                "proc /proc proc rw 0 0");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].device, "/dev/mmcblk0p1");
    EXPECT_EQ(entries[0].mount_point, "/home/pi/my card");
    EXPECT_EQ(entries[0].fs_type, "vfat");
    EXPECT_EQ(entries[0].options, "rw,relatime");
    EXPECT_EQ(entries[1].mount_point, "/proc");
}

TEST(MountIsReadOnly, MatchesTheWholeOption)
{
    EXPECT_TRUE(mount_is_read_only("ro"));
    EXPECT_TRUE(mount_is_read_only("ro,relatime"));
    EXPECT_TRUE(mount_is_read_only("relatime,ro"));
    EXPECT_FALSE(mount_is_read_only("rw,errors=remount-ro"));
    EXPECT_FALSE(mount_is_read_only("rootcontext=x"));
    EXPECT_FALSE(mount_is_read_only(""));
}

}  // namespace
