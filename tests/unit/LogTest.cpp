#include "logger/Log.h"

#include <gtest/gtest.h>

namespace YultService::Logger {
namespace {

TEST(LogOutput, OneLinePrefixedOnceInfoAndWarnOnlyWhenVerbose)
{
    const struct
    {
        std::string message;
        std::string line;
    } cases[] = {{"Profiling started", "YultService: Profiling started\n"},
                 {"YultService: x", "YultService: x\n"},
                 {" YultService: x", "YultService:  YultService: x\n"},
                 {"YultService:", "YultService: YultService:\n"},
                 {"", "YultService: \n"},
                 {"done\n", "YultService: done\n\n"},
                 {"a\nb", "YultService: a\nb\n"},
                 {std::string("a\0b", 3), std::string("YultService: a\0b\n", 17)}};
    const Log quiet(false), verbose(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.message));
        EXPECT_EQ(Log::lineOf(c.message), c.line);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        quiet.info(c.message);
        quiet.warn(c.message);
        Log::error(c.message);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
        ::testing::internal::CaptureStdout();
        Log::result(c.message);
        verbose.info(c.message);
        verbose.warn(c.message);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.line + c.line + c.line);
    }
}

} // namespace
} // namespace YultService::Logger
