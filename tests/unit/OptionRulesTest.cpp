#include "app/OptionRules.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService {
namespace {

// The flags set, as the option letters; the rule that decides, in its fixed order. Where several
// rules apply (CSOM, CM, CSM), only that order tells which line the caller reads.
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
    const struct
    {
        std::string flags;
        OptionCheck::Verdict verdict;
        std::string message; ///< the rejection's whole line, without the log's prefix
    } cases[] = {
        {"", OptionCheck::Reject, noMode},     {"hCM", OptionCheck::ShowPage, ""},
        {"vCM", OptionCheck::ShowPage, ""},    {"CSOM", OptionCheck::Reject, both},
        {"C", OptionCheck::Reject, neither},   {"CM", OptionCheck::Reject, neither},
        {"MS", OptionCheck::Reject, memory},   {"CSM", OptionCheck::Reject, memory},
        {"CSMJ", OptionCheck::Reject, modes},  {"CMJO", OptionCheck::Reject, modes},
        {"SOJ", OptionCheck::Reject, noMode},  {"CSJ", OptionCheck::LookUpTarget, ""},
        {"CO", OptionCheck::LookUpTarget, ""}, {"MJSO", OptionCheck::LookUpTarget, ""},
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
        const OptionCheck check = checkOptionRules(options);
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.message, c.message);
    }
}

} // namespace
} // namespace YultService
