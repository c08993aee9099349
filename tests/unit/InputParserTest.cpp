#include "options/InputParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <getopt.h>
#include <string>
#include <vector>

namespace YultService::InputOptions {
namespace {

// Rules on repeated, swallowed and bad pids and on stray arguments are checked through the program.
TEST(InputParser, FieldsFromCommandLine)
{
    const std::string bad = "Bad PID!\n";
    const struct
    {
        std::vector<std::string> args;
        std::string fields; ///< the letters of the flags set, in "CMSOJVDhv" order, a blank, the pid
        std::string err;
    } cases[] = {{{}, " 0", ""},
                 {{"-CMSOJVDhv", "-P1"}, "CMSOJVDhv 1", ""},
                 {{"--cpu", "--memory", "--start-profiling", "--stop-profiling", "--get-js-heap-summary", "--verbose",
                   "--use-dynamic-port", "--help", "--version", "--pid=2"},
                  "CMSOJVDhv 2",
                  ""},
                 {{"--mem", "--get", "--vers"}, "MJv 0", ""},
                 {{"-P", "-5"}, " -5", ""},
                 {{"-P", " +42", "-P", "42 "}, " 42", bad},
                 {{"-P", "-2147483648", "-P", "2147483648"}, " -2147483648", bad},
                 {{"-C", "--", "-S"}, "C 0", "YultService: Unrecognized argument: -S\n"}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        c.args.insert(c.args.begin(), "YultService");
        std::vector<char*> argv(c.args.size() + 1);
        std::transform(c.args.begin(), c.args.end(), argv.begin(), [](std::string& arg) { return arg.data(); });
        InputParser parser;
        optind = 0; // GNU getopt: full reinitialisation for every parse in this process
        ::testing::internal::CaptureStderr();
        parser.parse(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        const auto flag = [](bool set, const char* letter) { return std::string(set ? letter : ""); };
        const std::string fields = flag(parser.isCPUMode(), "C") + flag(parser.isMemoryMode(), "M") +
                                   flag(parser.shouldStartProfiling(), "S") + flag(parser.shouldStopProfiling(), "O") +
                                   flag(parser.shouldGetJavaScriptHeapSummary(), "J") +
                                   flag(parser.isVerboseMode(), "V") + flag(parser.shouldUseDynamicPorting(), "D") +
                                   flag(parser.getDisplayHelp(), "h") + flag(parser.getDisplayVersion(), "v");
        EXPECT_EQ(fields + " " + std::to_string(parser.getPID()), c.fields);
    }
}

} // namespace
} // namespace YultService::InputOptions
