#include "logger/Log.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace YultService::Logger {
namespace {

class LogOutput : public ::testing::Test
{
  protected:
    ~LogOutput() override
    {
        std::cout.rdbuf(coutBuffer);
        std::cerr.rdbuf(cerrBuffer);
    }

    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* coutBuffer = std::cout.rdbuf(out.rdbuf());
    std::streambuf* cerrBuffer = std::cerr.rdbuf(err.rdbuf());
};

TEST_F(LogOutput, EveryLevelWritesOneLinePrefixedOnce)
{
    const struct
    {
        std::string message;
        std::string line;
    } cases[] = {{"Profiling started", "YultService: Profiling started\n"}, {"YultService: x", "YultService: x\n"},
                 {" YultService: x", "YultService:  YultService: x\n"}, {"YultService:", "YultService: YultService:\n"},
                 {"", "YultService: \n"}, {"done\n", "YultService: done\n\n"}, {"a\nb", "YultService: a\nb\n"},
                 {std::string("a\0b", 3), std::string("YultService: a\0b\n", 17)}};
    const Log verbose(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.message));
        out.str("");
        err.str("");
        Log::error(c.message);
        EXPECT_EQ(err.str(), c.line);
        EXPECT_EQ(out.str(), "");
        Log::result(c.message);
        verbose.info(c.message);
        verbose.warn(c.message);
        EXPECT_EQ(out.str(), c.line + c.line + c.line);
    }
}

TEST_F(LogOutput, QuietLogHidesInfoAndWarn)
{
    const Log quiet(false);
    quiet.info("progress");
    quiet.warn("oddity");
    EXPECT_EQ(out.str() + err.str(), "");
}

TEST(LogFormat, RendersWholeText)
{
    EXPECT_EQ(Log::StringFormat("Sending profiler signal to target process with pid %d on port %d", 1234,
                                static_cast<unsigned short>(9091)),
              "Sending profiler signal to target process with pid 1234 on port 9091");
    EXPECT_EQ(Log::StringFormat("%s", ""), "");
    const std::string longText(100000, 'x');
    EXPECT_EQ(Log::StringFormat("%s:%d", longText.c_str(), -1), longText + ":-1");
}

} // namespace
} // namespace YultService::Logger
