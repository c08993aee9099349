#include "app/OptionRules.h"

#include "link/Console.h"
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
        return {OptionCheck::Reject, Console::startAndStop};
    }
    if (cpu && !start && !stop) {
        return {OptionCheck::Reject, Console::neitherStartNorStop};
    }
    if (memory && !options.shouldGetJavaScriptHeapSummary()) {
        return {OptionCheck::Reject, Console::memoryWithoutHeap};
    }
    if (cpu && memory) {
        return {OptionCheck::Reject, Console::cpuAndMemory};
    }
    if (!cpu && !memory) {
        return {OptionCheck::Reject, Console::noMode};
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
    Logger::Log::error(Console::noSuchProcess);
    return false;
}

} // namespace YultService
