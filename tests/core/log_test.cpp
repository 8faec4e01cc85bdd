#include "log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct line_case {
    log_target target;
    int priority;
    const char *text;
    const char *expected;
};

TEST(LogFormatLine, OneWholeLineWithThePrefixOnlyForTheJournal)
{
    const line_case cases[] = {
        {LOG_TARGET_CONSOLE, LOG_INFO, "LINK: up\n", "LINK: up\n"},
        {LOG_TARGET_CONSOLE, LOG_ERR, "no newline", "no newline\n"},
        {LOG_TARGET_JOURNAL, LOG_WARNING, "LINK: down\n", "<4>LINK: down\n"},
        {LOG_TARGET_JOURNAL, LOG_ERR, "x", "<3>x\n"},
        {LOG_TARGET_JOURNAL, LOG_DEBUG, "", "<7>\n"},
    };
    for (const line_case &c : cases) {
        char buf[64];
        int length = log_format_line(buf, sizeof buf, c.target, c.priority, c.text);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(length)), c.expected) << c.text;
    }
}

TEST(LogFormatLine, ATextTooLongIsCutAndStillEndsTheLine)
{
    std::string text(100, 'a');
    char buf[16];
    int length = log_format_line(buf, sizeof buf, LOG_TARGET_JOURNAL, LOG_INFO, text.c_str());
    ASSERT_LT(length, static_cast<int>(sizeof buf));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(length)), "<6>" + std::string(11, 'a') + "\n");
}

}  // namespace
