// olva-app-sim: an OlvaScript application reduced to its built-in profiler
// agent. SIGUSR1, queued with the agent's TCP port as value, makes it call
// YultService back on 127.0.0.1 and hold one conversation.
#include "Connection.h"
#include "Conversation.h"
#include "Options.h"
#include "Registration.h"
#include "Support.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <exception>
#include <iostream>

#include <sys/signalfd.h>
#include <unistd.h>

namespace OlvaAppSim {
namespace {

// Blocks SIGUSR1, SIGTERM and SIGINT and returns a descriptor to take them
// from. A signalfd rather than sigwaitinfo(), which unblocks the signals while
// it waits: the agent checks SigBlk/SigCgt and would then see an app that
// SIGUSR1 kills.
int takeControlSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) {
        return -1;
    }
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

// Returns whether a conversation took place.
bool answerWakeUp(const signalfd_siginfo& info, Profiler& profiler, const Options& options)
{
    if (info.ssi_code != SI_QUEUE) {
        logLine("SIGUSR1 without a port (not queued), ignored");
        return false;
    }
    const auto port = static_cast<std::int32_t>(info.ssi_int);
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

int serve(int signalFd, const Options& options)
{
    Profiler profiler;
    for (;;) {
        signalfd_siginfo info{};
        const ssize_t got = read(signalFd, &info, sizeof info);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got != static_cast<ssize_t>(sizeof info)) {
            logLine("cannot read signals");
            return 1;
        }
        if (info.ssi_signo != SIGUSR1) {
            logLine(info.ssi_signo == SIGTERM ? "exiting on SIGTERM" : "exiting on SIGINT");
            return 0;
        }
        if (answerWakeUp(info, profiler, options) && options.once) {
            return 0;
        }
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
    // Before registering, so a SIGUSR1 sent as soon as the app is listed
    // waits to be taken instead of killing it.
    const int signalFd = OlvaAppSim::takeControlSignals();
    if (signalFd < 0) {
        OlvaAppSim::logLine("cannot create signalfd");
        return 1;
    }
    try {
        const OlvaAppSim::Registration registration(options->name);
        std::cout << "olva-app-sim: pid " << getpid() << " ready" << std::endl;
        return OlvaAppSim::serve(signalFd, *options);
    } catch (const std::exception& error) {
        OlvaAppSim::logLine(error.what());
        return 1;
    }
}
