#include "options/InputParser.h"

#include <gtest/gtest.h>

#include <getopt.h>
#include <string>
#include <vector>

namespace YultService::InputOptions {
namespace {

TEST(InputParser, FieldsFromCommandLine)
{
    const std::string bad = "Bad PID!\n";
    const struct
    {
        std::vector<std::string> args;
        std::string fields;  ///< the letters of the flags set, in "CMSOJVDhv" order, a blank, the pid
        std::string err;
    } cases[] = {{{}, " 0", ""}, {{"-CS", "-P", "1234"}, "CS 1234", ""},
                 {{"--cpu", "--start-profiling", "--pid=1234"}, "CS 1234", ""},
                 {{"-CMSOJVDhv", "-P1"}, "CMSOJVDhv 1", ""},
                 {{"--memory", "--stop-profiling", "--get-js-heap-summary", "--verbose", "--use-dynamic-port", "--help",
                   "--version", "--pid", "2"}, "MOJVDhv 2", ""},
                 {{"--mem", "--get", "--vers"}, "MJv 0", ""}, {{"-P", "-5"}, " -5", ""}, {{"-P", " +42"}, " 42", ""},
                 {{"-P", "-2147483648"}, " -2147483648", ""}, {{"-P", "2147483648"}, " 0", bad},
                 {{"-P", "7", "-P", "8"}, " 8", ""}, {{"-P", "-C"}, " 0", bad},
                 {{"-P", "7", "-P", "12x", "-P", "", "-P", "99999999999", "-P", "42 "}, " 7", bad + bad + bad + bad},
                 {{"a", "-M", "b", "-J"}, "MJ 0", "YultService: Unrecognized argument: ab\n"},
                 {{"-C", "--", "-S"}, "C 0", "YultService: Unrecognized argument: -S\n"}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<char*> argv{const_cast<char*>("YultService")};
        for (auto& arg : c.args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        InputParser parser;
        optind = 0; // GNU getopt: full reinitialisation for every parse in this process
        ::testing::internal::CaptureStderr();
        parser.parse(static_cast<int>(argv.size() - 1), argv.data());
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        const bool flags[] = {parser.isCPUMode(), parser.isMemoryMode(), parser.shouldStartProfiling(),
                              parser.shouldStopProfiling(), parser.shouldGetJavaScriptHeapSummary(),
                              parser.isVerboseMode(), parser.shouldUseDynamicPorting(), parser.getDisplayHelp(),
                              parser.getDisplayVersion()};
        std::string fields;
        for (std::size_t i = 0; i < sizeof(flags); ++i) {
            fields += flags[i] ? std::string(1, "CMSOJVDhv"[i]) : "";
        }
        EXPECT_EQ(fields + " " + std::to_string(parser.getPID()), c.fields);
    }
}

} // namespace
} // namespace YultService::InputOptions
