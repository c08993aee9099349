#include "app/Job.h"

#include "guard/TargetSignal.h"
#include "logger/Log.h"
#include "pages/Help.h"
#include "pages/Version.h"
#include "utils/Helper.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace YultService {

namespace {

using Logger::Log;

constexpr unsigned short defaultPort = 9091;
constexpr int firstDynamicPort = 49152;

void sendProfilerSignal(const Log& logger, const Guard::TargetProcess& target, unsigned short port)
{
    if (const auto verdict = Guard::TargetSignal::judge(target); !verdict.maySignal) {
        logger.warn("Target not signalled: thread " + verdict.thread + " " + verdict.reason);
        throw std::runtime_error("Sending profiler signal to target failed: target does not handle SIGUSR1");
    }
    if (target.queueSignal(SIGUSR1, port) == -1) {
        throw std::runtime_error(std::string("Sending profiler signal to target failed: ") + std::strerror(errno));
    }
}

} // namespace

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
    // Pinned right after its lookup, before anything is done on its behalf.
    const auto target = Guard::TargetProcess::pin(options->getPID());
    asio::io_context ioContext;
    std::optional<SocketCommunication::Server> server;
    const auto port =
        startServer(ioContext, server, options, target, [](int from) { return Utils::Helper::getFreePort(from); });
    enqueueProfilerSignalJob(ioContext, port, options, target);
    ioContext.run();
}

unsigned short startServer(asio::io_context& ioContext, std::optional<SocketCommunication::Server>& server,
                           const std::shared_ptr<InputOptions::InputParser>& options,
                           const Guard::TargetProcess& target, const PortProbe& probe)
{
    if (!options->shouldUseDynamicPorting()) {
        server.emplace(ioContext, defaultPort, options, target);
        return defaultPort;
    }
    for (int from = firstDynamicPort;;) {
        const auto port = static_cast<unsigned short>(probe(from)); // past the range: "Faile to find free port."
        try {
            server.emplace(ioContext, port, options, target);
            return port;
        } catch (const std::system_error& error) {
            if (error.code() != asio::error::address_in_use) {
                throw;
            }
            from = port + 1;
        }
    }
}

void enqueueProfilerSignalJob(asio::io_context& ioContext, unsigned short port,
                              const std::shared_ptr<InputOptions::InputParser>& options,
                              const Guard::TargetProcess& target)
{
    asio::post(ioContext, [port, &options, &target] {
        const Log logger(options->isVerboseMode());
        logger.info(Log::StringFormat("Sending profiler signal to target process with pid %d on port %d",
                                      options->getPID(), port));
        sendProfilerSignal(logger, target, port);
    });
}

} // namespace YultService
