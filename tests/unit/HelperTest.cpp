#include "utils/Helper.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService::Utils {
namespace {

TEST(ProcessListing, AppUserLineWithThePid)
{
    const std::string header = "UID PID PPID C STIME TTY TIME CMD\n";
    const struct
    {
        std::string listing;
        bool listed;
    } cases[] = {
        {header + "root 1 0 0 09:00 ? 00:00:02 /sbin/init\napp_user  42  1  0 10:00 ?  00:00:01 /usr/bin/app", true},
        {"app_user\t42\t1\n", true},
        {"web_app_user 42 1 0 10:00 ? 00:00:01 app\n", false}, // another user's process
        {"app_user 1 42 0 10:00 ? 00:00:01 app\n", false},     // 42 is the parent
        {"app_user 42\n", false},                              // no parent column
        {" app_user 42 1\n", false},                           // not at the start of the line
        {"app_user 99999999999 1\napp_user 42 1\n", true},     // a pid too long for an int is skipped
        {"app_user 420 1\n", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Helper::listsAppUserProcess(c.listing, 42), c.listed) << c.listing;
    }
}

} // namespace
} // namespace YultService::Utils
