#include "app/Job.h"

#include "link/Server.h"
#include "logger/Log.h"
#include "pages/Help.h"
#include "pages/Version.h"
#include "utils/Helper.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace YultService {

namespace {

using Logger::Log;

constexpr unsigned short defaultPort = 9091;

// SIGUSR1's default action ends a process, so a target that neither catches, blocks nor
// ignores it would be killed by the signal meant to reach its profiler. Unknown counts as handled.
bool targetHandlesSignal(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) {
        return true;
    }
    const unsigned long long bit = 1ULL << (SIGUSR1 - 1);
    bool seen = false;
    std::string line;
    while (std::getline(status, line)) {
        for (const char* key : {"SigBlk:", "SigIgn:", "SigCgt:"}) {
            if (line.rfind(key, 0) == 0) {
                seen = true;
                if (std::stoull(line.substr(std::strlen(key)), nullptr, 16) & bit) {
                    return true;
                }
            }
        }
    }
    return !seen;
}

void sendProfilerSignal(int pid, unsigned short port)
{
    if (!targetHandlesSignal(pid)) {
        throw std::runtime_error("Sending profiler signal to target failed: target does not handle SIGUSR1");
    }
    sigval value{};
    value.sival_int = port;
    if (sigqueue(pid, SIGUSR1, value) == -1) {
        throw std::runtime_error(std::string("Sending profiler signal to target failed: ") + std::strerror(errno));
    }
}

} // namespace

bool validateParameters(const std::shared_ptr<InputOptions::InputParser>& options)
{
    if (!options) {
        return false;
    }
    const auto& o = *options;
    if (o.getDisplayHelp() || o.getDisplayVersion()) {
        return true;
    }
    const auto reject = [](const char* message) {
        Log::error(message);
        return false;
    };
    if (o.isCPUMode() && o.shouldStartProfiling() && o.shouldStopProfiling()) {
        return reject("Invalid options, Cannot start and stop profiling at the same time. Please provide only one "
                      "option.");
    }
    if (o.isCPUMode() && !o.shouldStartProfiling() && !o.shouldStopProfiling()) {
        return reject("Invalid options, Must specify to either start or stop profiling with CPU mode. Please provide "
                      "at-least one option.");
    }
    if (o.isMemoryMode() && !o.shouldGetJavaScriptHeapSummary()) {
        return reject("Invalid option. You must specify at least one option that is supported with Memory mode/.");
    }
    if (o.isCPUMode() && o.isMemoryMode()) {
        return reject("Currently YultService can be invoked with either CPU or Memory mode only but not both.");
    }
    if (!o.isCPUMode() && !o.isMemoryMode()) {
        return reject("Please specify at-least CPU or Memory mode.");
    }
    if (Utils::Helper::tulmProcessExists(o.getPID()) || Utils::Helper::psProcessExists(o.getPID())) {
        return true;
    }
    return reject("Invalid option, There is no process with specified pid");
}

void processCommand(const std::shared_ptr<InputOptions::InputParser>& options)
{
    if (options->getDisplayHelp()) {
        DisplayHelp::Help::display();
    } else if (options->getDisplayVersion()) {
        Version::Version::display();
    } else {
        processProfilerJob(options);
    }
}

void processProfilerJob(const std::shared_ptr<InputOptions::InputParser>& options)
{
    const auto port =
        options->shouldUseDynamicPorting() ? static_cast<unsigned short>(Utils::Helper::getFreePort()) : defaultPort;
    asio::io_context ioContext;
    SocketCommunication::Server server(ioContext, port, options);
    enqueueProfilerSignalJob(ioContext, port, options);
    ioContext.run();
}

void enqueueProfilerSignalJob(asio::io_context& ioContext, unsigned short port,
                              const std::shared_ptr<InputOptions::InputParser>& options)
{
    asio::post(ioContext, [port, &options] {
        const Log logger(options->isVerboseMode());
        logger.info(Log::StringFormat("Sending profiler signal to target process with pid %d on port %d",
                                      options->getPID(), port));
        sendProfilerSignal(options->getPID(), port);
    });
}

} // namespace YultService
