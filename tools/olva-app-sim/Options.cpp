#include "Options.h"

#include "Support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace OlvaAppSim {
namespace {

std::optional<std::size_t> parseCount(const char* text)
{
    if (text == nullptr || *text < '0' || *text > '9') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return static_cast<std::size_t>(value);
}

// Applies one option that takes a number; false when it is malformed.
bool parseCountOption(const std::string& option, const char* value, Options& options)
{
    const std::optional<std::size_t> count = parseCount(value);
    if (!count || (option == "--chunk" && *count == 0)) {
        return false;
    }
    if (option == "--chunk") {
        options.chunk = *count;
    } else if (option == "--trace-bytes") {
        options.traceBytes = count;
    } else {
        options.heapBytes = count;
    }
    return true;
}

std::optional<SignalMode> parseSignalMode(const char* text)
{
    const std::string name = text != nullptr ? text : "";
    if (name == "signalfd") {
        return SignalMode::signalfd;
    }
    if (name == "handler") {
        return SignalMode::handler;
    }
    if (name == "sigwaitinfo") {
        return SignalMode::sigwaitinfo;
    }
    if (name == "sigtimedwait") {
        return SignalMode::sigtimedwait;
    }
    return std::nullopt;
}

bool parseSignalOption(const char* value, Options& options)
{
    const std::optional<SignalMode> mode = parseSignalMode(value);
    if (mode) {
        options.signalMode = *mode;
    }
    return mode.has_value();
}

} // namespace

void printUsage(std::ostream& out)
{
    out << "usage: olva-app-sim [--name NAME] [--once] [--chunk N] [--no-marker]\n"
           "                    [--trace-bytes N] [--heap-bytes N] [--signal MODE] [--busy]\n"
           "  --name NAME       application name (default com.olva.sample)\n"
           "  --once            exit after one conversation\n"
           "  --chunk N         bytes per write when streaming a payload (default 65536)\n"
           "  --no-marker       do not send the end marker after a payload\n"
           "  --trace-bytes N   make every CPU trace exactly N bytes (below about 2700\n"
           "                    the trace is cut and is no longer valid JSON)\n"
           "  --heap-bytes N    make the heap summary exactly N bytes\n"
           "  --signal MODE     how SIGUSR1, SIGTERM and SIGINT are taken (default signalfd):\n"
           "                      signalfd      blocked, read from a signalfd\n"
           "                      handler       caught by a handler, not blocked\n"
           "                      sigwaitinfo   blocked, a second thread waits in sigwaitinfo\n"
           "                      sigtimedwait  blocked, the main thread polls sigtimedwait\n"
           "                                    every millisecond\n"
           "  --busy            run one more thread that keeps a CPU busy\n";
}

bool wantsHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            return true;
        }
    }
    return false;
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (option == "--once") {
            options.once = true;
        } else if (option == "--no-marker") {
            options.marker = false;
        } else if (option == "--busy") {
            options.busy = true;
        } else if (option == "--signal") {
            ok = parseSignalOption(value, options);
            ++i;
        } else if (option == "--name" && value != nullptr && *value != '\0') {
            options.name = value;
            ++i;
        } else if (option == "--chunk" || option == "--trace-bytes" || option == "--heap-bytes") {
            ok = parseCountOption(option, value, options);
            ++i;
        } else {
            ok = false;
        }
        if (!ok) {
            logLine("bad argument: " + option);
            return std::nullopt;
        }
    }
    return options;
}

} // namespace OlvaAppSim
