#include "app/Job.h"

#include "guard/TargetSignal.h"
#include "link/Console.h"
#include "link/DeadlineBackstop.h"
#include "link/Wire.h"
#include "logger/Log.h"
#include "pages/Help.h"
#include "pages/Version.h"
#include "utils/Helper.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
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
        throw std::runtime_error(std::string(Console::signalFailed) + Console::signalNotHandled);
    }
    if (target.queueSignal(SIGUSR1, port) == -1) {
        throw std::runtime_error(Console::signalFailed + std::string(std::strerror(errno)));
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
        processProfilerJob(*options);
    }
}

void processProfilerJob(const InputOptions::InputParser& options)
{
    // Pinned right after its lookup, before anything is done on its behalf.
    const auto target = Guard::TargetProcess::pin(options.getPID());
    const auto job = linkJobOf(options);
    asio::io_context ioContext;
    std::optional<SocketCommunication::Server> server;
    const auto port = startServer(ioContext, server, job, target, Utils::Helper::getFreePort, endProcess);
    enqueueProfilerSignalJob(ioContext, port, job, target);
    ioContext.run();
}

SocketCommunication::LinkJob linkJobOf(const InputOptions::InputParser& options)
{
    SocketCommunication::LinkJob job;
    job.pid = options.getPID();
    job.verbose = options.isVerboseMode();
    job.dynamicPort = options.shouldUseDynamicPorting();
    if (options.isCPUMode()) {
        job.command = options.shouldStartProfiling() ? SocketCommunication::Wire::startProfiling
                                                     : SocketCommunication::Wire::stopProfiling;
    } else { // the option rules leave the heap summary as the one job of Memory mode
        job.command = SocketCommunication::Wire::getJsHeapInfo;
    }
    return job;
}

// Nothing is destroyed first: the session, its socket and the loop stay as they are until the
// process is gone, and exit flushes what the run printed.
void endProcess(int status)
{
    SocketCommunication::DeadlineBackstop::ending(status);
    std::exit(status);
}

unsigned short startServer(asio::io_context& ioContext, std::optional<SocketCommunication::Server>& server,
                           const SocketCommunication::LinkJob& job, const Guard::TargetProcess& target,
                           const PortProbe& probe, const SocketCommunication::Ending& ending)
{
    if (!job.dynamicPort) {
        server.emplace(ioContext, defaultPort, job, target, ending);
        return defaultPort;
    }
    for (int from = firstDynamicPort;;) {
        const int found = probe(from);
        if (found < 0) {
            throw std::runtime_error(Console::noFreePort);
        }
        const auto port = static_cast<unsigned short>(found);
        try {
            server.emplace(ioContext, port, job, target, ending);
            return port;
        } catch (const std::system_error& error) {
            if (error.code() != asio::error::address_in_use) {
                throw;
            }
            from = port + 1;
        }
    }
}

void enqueueProfilerSignalJob(asio::io_context& ioContext, unsigned short port, const SocketCommunication::LinkJob& job,
                              const Guard::TargetProcess& target)
{
    asio::post(ioContext, [port, &job, &target] {
        const Log logger(job.verbose);
        logger.info(
            Log::StringFormat("Sending profiler signal to target process with pid %d on port %d", job.pid, port));
        sendProfilerSignal(logger, target, port);
    });
}

} // namespace YultService
