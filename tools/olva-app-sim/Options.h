// Command line of the simulator.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

namespace OlvaAppSim {

struct Options {
    std::string name = "com.olva.sample";
    bool once = false;
    bool marker = true;
    std::size_t chunk = 64 * 1024;
    std::optional<std::size_t> traceBytes;
    std::optional<std::size_t> heapBytes;
};

void printUsage(std::ostream& out);
bool wantsHelp(int argc, char** argv);

// Logs the offending argument and returns nothing on a bad command line.
std::optional<Options> parseOptions(int argc, char** argv);

} // namespace OlvaAppSim
