#include "app/Job.h"

#include "link/Server.h"
#include "logger/Log.h"
#include "pages/Help.h"
#include "pages/Version.h"
#include "utils/Helper.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

namespace YultService {

namespace {

using Logger::Log;

constexpr unsigned short defaultPort = 9091;

// The SIGUSR1 bit of a signal mask line ("SigBlk:", "SigIgn:", "SigCgt:") of a status file;
// nullopt when the file or the line cannot be read.
std::optional<bool> profilerSignalBit(const std::string& statusPath, const char* key)
{
    std::ifstream status(statusPath);
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) {
            const unsigned long long mask = std::strtoull(line.c_str() + std::strlen(key), nullptr, 16);
            return (mask >> (SIGUSR1 - 1) & 1U) != 0;
        }
    }
    return std::nullopt;
}

// SIGUSR1's default action ends a process, so a target that neither catches nor ignores it,
// with a thread that does not block it, would be killed by the signal meant for its profiler.
// What cannot be read counts as handled.
bool targetHandlesSignal(int pid)
{
    const std::string process = "/proc/" + std::to_string(pid);
    const auto caught = profilerSignalBit(process + "/status", "SigCgt:");
    const auto ignored = profilerSignalBit(process + "/status", "SigIgn:");
    if (!caught || !ignored || *caught || *ignored) {
        return true;
    }
    std::error_code error;
    for (const auto& thread : std::filesystem::directory_iterator(process + "/task", error)) {
        const auto blocked = profilerSignalBit(thread.path().string() + "/status", "SigBlk:");
        if (blocked && !*blocked) {
            return false;
        }
    }
    return !error;
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
