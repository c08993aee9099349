// olva-app-sim: an OlvaScript application reduced to its built-in profiler
// agent. SIGUSR1, queued with the agent's TCP port as value, makes it call
// YultService back on 127.0.0.1 and hold one conversation.
#include "Connection.h"
#include "Conversation.h"
#include "Options.h"
#include "Registration.h"
#include "SignalSource.h"
#include "Support.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <thread>

#include <unistd.h>

namespace OlvaAppSim {
namespace {

// Returns whether a conversation took place.
bool answerWakeUp(const WakeUp& wakeUp, Profiler& profiler, const Options& options)
{
    if (wakeUp.code != SI_QUEUE) {
        logLine("SIGUSR1 without a port (not queued), ignored");
        return false;
    }
    const std::int32_t port = wakeUp.value;
    logLine("SIGUSR1 received, agent port " + std::to_string(port));
    if (port <= 0 || port > 65535) {
        logLine("port out of range, ignored");
        return false;
    }
    std::optional<Connection> connection = Connection::open(port);
    if (!connection) {
        return false;
    }
    try {
        converse(*connection, profiler, options);
    } catch (const std::exception& error) {
        logLine(std::string("conversation failed: ") + error.what());
    }
    logLine("conversation over");
    return true;
}

int serve(SignalSource& signals, const Options& options)
{
    Profiler profiler;
    for (;;) {
        const std::optional<WakeUp> wakeUp = signals.next();
        if (!wakeUp) {
            logLine("cannot read signals");
            return 1;
        }
        if (wakeUp->signo != SIGUSR1) {
            logLine(wakeUp->signo == SIGTERM ? "exiting on SIGTERM" : "exiting on SIGINT");
            return 0;
        }
        if (answerWakeUp(*wakeUp, profiler, options) && options.once) {
            return 0;
        }
    }
}

// The sigwaitinfo mode serves from a second thread, the main thread only
// waiting for it with the signals still blocked.
int serveInMode(SignalSource& signals, const Options& options)
{
    if (options.signalMode != SignalMode::sigwaitinfo) {
        return serve(signals, options);
    }
    int status = 1;
    std::thread server([&] {
        try {
            status = serve(signals, options);
        } catch (const std::exception& error) {
            logLine(error.what());
        }
    });
    server.join();
    return status;
}

// Counted atomically so the spin loop is not optimised into nothing.
std::atomic<std::uint64_t> busySpins{0};

// Competes for a CPU until the process ends. It keeps the signal mask it
// was started with, so it takes part in delivery as the mode has it.
void startBusyThread()
{
    std::thread([] {
        for (;;) {
            busySpins.fetch_add(1, std::memory_order_relaxed);
        }
    }).detach();
}

int run(const Options& options)
{
    try {
        // Before registering and before the ready line, so a SIGUSR1 sent as
        // soon as the app is listed is taken instead of killing it; and
        // before any thread starts, so all of them inherit the mask.
        const std::unique_ptr<SignalSource> signals = SignalSource::create(options.signalMode);
        if (options.busy) {
            startBusyThread();
        }
        const Registration registration(options.name);
        std::cout << "olva-app-sim: pid " << getpid() << " ready" << std::endl;
        return serveInMode(*signals, options);
    } catch (const std::exception& error) {
        logLine(error.what());
        return 1;
    }
}

} // namespace
} // namespace OlvaAppSim

int main(int argc, char** argv)
{
    if (OlvaAppSim::wantsHelp(argc, argv)) {
        OlvaAppSim::printUsage(std::cout);
        return 0;
    }
    const std::optional<OlvaAppSim::Options> options = OlvaAppSim::parseOptions(argc, argv);
    if (!options) {
        OlvaAppSim::printUsage(std::cerr);
        return 2;
    }
    return OlvaAppSim::run(*options);
}
