#include "ctl_dispatch.h"
#include "link.h"

#include <gtest/gtest.h>

namespace {

struct report_case {
    bool is_4g;
    int state;
    int extra;  // 4G: the switch; WiFi: recovery attempts
    std::uint8_t report;
};

TEST(LinkReport, TellsARecoveryFromALinkThatGaveUp)
{
    const report_case cases[] = {
        {true, LINK_OFF, 0, LINK_REPORT_OFF},
        {true, LINK_STARTING, 1, LINK_REPORT_STARTING},
        {true, LINK_UP, 1, LINK_REPORT_UP},
        {true, LINK_FAILED, 1, LINK_REPORT_RECOVERING},  // retried while the switch is on
        {true, LINK_FAILED, 0, LINK_REPORT_FAILED},
        {false, LINK_OFF, 0, LINK_REPORT_OFF},
        {false, LINK_STARTING, 0, LINK_REPORT_STARTING},
        {false, LINK_UP, 0, LINK_REPORT_UP},
        {false, LINK_UP, 1, LINK_REPORT_RECOVERING},     // a recovery is running
        {false, LINK_FAILED, 0, LINK_REPORT_RECOVERING}, // the next check recovers it
        {false, LINK_FAILED, 2, LINK_REPORT_RECOVERING},
        {false, LINK_FAILED, 3, LINK_REPORT_FAILED},     // three recoveries failed
    };
    for (const report_case &c : cases) {
        const std::uint8_t got =
            c.is_4g ? ctl_link_report_4g(c.state, c.extra) : ctl_link_report_wifi(c.state, c.extra);
        EXPECT_EQ(got, c.report) << (c.is_4g ? "4G" : "WiFi") << " state " << c.state << " with " << c.extra;
    }
}

}  // namespace
