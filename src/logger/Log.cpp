#include "logger/Log.h"

#include <csignal>
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

// Whoever started us may stop reading (a closed pipe, a caller gone). Its SIGPIPE would end the
// run with a status that says nothing, after the application was told "received". Caught rather
// than ignored, so that the commands we start get the default back when they exec: our write
// then fails with EPIPE, the stream keeps its failed state, and the run ends as it would have.
void Log::surviveReadersGoing()
{
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
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
