#pragma once

#include "options/InputParser.h"

#include <memory>

namespace YultService {

/// What the option rules decide before any process is looked up.
struct OptionCheck
{
    enum Verdict
    {
        ShowPage,     ///< the help or version page was asked for: no rule applies, no target is looked up
        LookUpTarget, ///< the options make a job: its target must exist
        Reject        ///< the options make no job: the message says why
    } verdict;
    const char* message; ///< the rejection's error line
};

/// The option rules in their fixed order; the first that applies decides.
OptionCheck checkOptionRules(const InputOptions::InputParser& options);

/// Applies the option rules in order and looks the target up; false (one error line) rejects the run.
bool validateParameters(const std::shared_ptr<InputOptions::InputParser>& options);

} // namespace YultService
