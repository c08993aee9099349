#include "app/OptionRules.h"

#include "logger/Log.h"
#include "utils/Helper.h"

namespace YultService {

OptionCheck checkOptionRules(const InputOptions::InputParser& options)
{
    if (options.getDisplayHelp() || options.getDisplayVersion()) {
        return {OptionCheck::ShowPage, ""};
    }
    const bool cpu = options.isCPUMode(), memory = options.isMemoryMode();
    const bool start = options.shouldStartProfiling(), stop = options.shouldStopProfiling();
    if (cpu && start && stop) {
        return {OptionCheck::Reject, "Invalid options, Cannot start and stop profiling at the same time. Please "
                                     "provide only one option."};
    }
    if (cpu && !start && !stop) {
        return {OptionCheck::Reject, "Invalid options, Must specify to either start or stop profiling with CPU mode. "
                                     "Please provide at-least one option."};
    }
    if (memory && !options.shouldGetJavaScriptHeapSummary()) {
        return {OptionCheck::Reject,
                "Invalid option. You must specify at least one option that is supported with Memory mode/."};
    }
    if (cpu && memory) {
        return {OptionCheck::Reject,
                "Currently YultService can be invoked with either CPU or Memory mode only but not both."};
    }
    if (!cpu && !memory) {
        return {OptionCheck::Reject, "Please specify at-least CPU or Memory mode."};
    }
    return {OptionCheck::LookUpTarget, ""};
}

bool validateParameters(const std::shared_ptr<InputOptions::InputParser>& options)
{
    if (!options) {
        return false;
    }
    const OptionCheck check = checkOptionRules(*options);
    switch (check.verdict) {
    case OptionCheck::ShowPage:
        return true;
    case OptionCheck::Reject:
        Logger::Log::error(check.message);
        return false;
    case OptionCheck::LookUpTarget:
        break;
    }
    const int pid = options->getPID();
    if (Utils::Helper::tulmProcessExists(pid) || Utils::Helper::psProcessExists(pid)) {
        return true;
    }
    Logger::Log::error("Invalid option, There is no process with specified pid");
    return false;
}

} // namespace YultService
