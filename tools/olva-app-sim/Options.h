// Command line of the simulator.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

namespace OlvaAppSim {

// How the app takes SIGUSR1 (and SIGTERM/SIGINT): each is a way a real
// profiler agent does it, and the agent must accept every one.
enum class SignalMode
{
    signalfd,
    handler,
    sigwaitinfo,
    sigtimedwait
};

struct Options
{
    std::string name = "com.olva.sample";
    bool once = false;
    bool marker = true;
    bool busy = false;
    SignalMode signalMode = SignalMode::signalfd;
    std::size_t chunk = 64 * 1024;
    std::optional<std::size_t> traceBytes;
    std::optional<std::size_t> heapBytes;
};

void printUsage(std::ostream& out);
bool wantsHelp(int argc, char** argv);

// Logs the offending argument and returns nothing on a bad command line.
std::optional<Options> parseOptions(int argc, char** argv);

} // namespace OlvaAppSim
