#include "app/OptionRules.h"
#include "app/Job.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace YultService {
namespace {

// The first rule that applies decides (CSOM, CM, CSM: only the order tells the line); the job built once.
TEST(OptionRules, FirstRuleThatAppliesDecides)
{
    const std::string both =
        "Invalid options, Cannot start and stop profiling at the same time. Please provide only one option.";
    const std::string neither = "Invalid options, Must specify to either start or stop profiling with CPU mode. "
                                "Please provide at-least one option.";
    const std::string memory =
        "Invalid option. You must specify at least one option that is supported with Memory mode/.";
    const std::string modes = "Currently YultService can be invoked with either CPU or Memory mode only but not both.";
    const std::string noMode = "Please specify at-least CPU or Memory mode.";
    const auto reject = OptionCheck::Reject, page = OptionCheck::ShowPage, accept = OptionCheck::LookUpTarget;
    const struct
    {
        std::string flags;
        OptionCheck::Verdict verdict;
        std::string message; ///< the rejection's whole line, without the log's prefix; or the job's command
    } cases[] = {
        // clang-format off
        {"", reject, noMode}, {"hCM", page, ""}, {"vCM", page, ""}, {"CSOM", reject, both},
        {"C", reject, neither}, {"CM", reject, neither}, {"MS", reject, memory}, {"CSM", reject, memory},
        {"CSMJ", reject, modes}, {"CMJO", reject, modes}, {"SOJ", reject, noMode}, {"CSJV", accept, "start-profiling"},
        {"COD", accept, "stop-profiling"}, {"MJSO", accept, "get-js-heapinfo"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        InputOptions::InputParser options;
        const auto has = [&c](char letter) { return c.flags.find(letter) != std::string::npos; };
        options.setCPUMode(has('C'));
        options.setMemoryMode(has('M'));
        options.setStartProfiling(has('S'));
        options.setStopProfiling(has('O'));
        options.setGetJavaScriptHeapSummary(has('J'));
        options.setDisplayHelp(has('h'));
        options.setDisplayVersion(has('v'));
        options.setVerboseMode(has('V'));
        options.setDynamicPort(has('D'));
        options.setPID(42);
        const OptionCheck check = checkOptionRules(options);
        const auto job = linkJobOf(options);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.verdict == accept ? job.command : check.message, c.message);
        // Every job waits as long: the extension waits by these.
        EXPECT_EQ(std::tie(job.pid, job.verbose, job.dynamicPort), std::make_tuple(42, has('V'), has('D')));
        EXPECT_EQ(std::make_tuple(job.deadlines.connection, job.deadlines.session, job.deadlines.emptyTransfer),
                  std::make_tuple(std::chrono::seconds(5), std::chrono::seconds(30), std::chrono::seconds(1)));
    }
}

} // namespace
} // namespace YultService
