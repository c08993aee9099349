#include "logger/Log.h"

#include <iostream>

namespace YultService::Logger {

namespace {
const std::string prefix = "YultService: ";
}

Log::Log(bool verbose) : verbose(verbose) {}

// Standard output is buffered and standard error is not: with both on one pipe, the lines
// written before an error must go out before it.
void Log::error(const std::string& message)
{
    std::cout.flush();
    writeLine(std::cerr, message);
}

void Log::result(const std::string& message) { writeLine(std::cout, message); }

void Log::info(const std::string& message) const
{
    if (verbose) {
        writeLine(std::cout, message);
    }
}

void Log::warn(const std::string& message) const
{
    if (verbose) {
        writeLine(std::cout, message);
    }
}

std::string Log::lineOf(const std::string& message)
{
    const bool prefixed = message.compare(0, prefix.size(), prefix) == 0;
    return (prefixed ? "" : prefix) + message + '\n';
}

void Log::injectPrefixIfNeeded(std::ostream& stream, const std::string& message)
{
    if (message.compare(0, prefix.size(), prefix) != 0) {
        stream << prefix;
    }
}

void Log::writeLine(std::ostream& stream, const std::string& message)
{
    injectPrefixIfNeeded(stream, message);
    stream.write(message.data(), static_cast<std::streamsize>(message.size()));
    stream << '\n';
}

} // namespace YultService::Logger
