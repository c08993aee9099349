#include "options/InputParser.h"

#include "link/Console.h"
#include "logger/Log.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <getopt.h>
#include <string>

namespace YultService::InputOptions {

namespace {

const char* const shortOptions = "CMSOJVDhvP:";

const option longOptions[] = {
    {"cpu", no_argument, nullptr, 'C'},
    {"memory", no_argument, nullptr, 'M'},
    {"start-profiling", no_argument, nullptr, 'S'},
    {"stop-profiling", no_argument, nullptr, 'O'},
    {"get-js-heap-summary", no_argument, nullptr, 'J'},
    {"verbose", no_argument, nullptr, 'V'},
    {"use-dynamic-port", no_argument, nullptr, 'D'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"pid", required_argument, nullptr, 'P'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

void InputParser::parse(int argc, char** argv)
{
    int letter = 0;
    while ((letter = getopt_long(argc, argv, shortOptions, longOptions, nullptr)) != -1) {
        switch (letter) {
        case 'C':
            cpuMode = true;
            break;
        case 'M':
            memoryMode = true;
            break;
        case 'S':
            startProfiling = true;
            break;
        case 'O':
            stopProfiling = true;
            break;
        case 'J':
            getJavaScriptHeapSummary = true;
            break;
        case 'V':
            verboseMode = true;
            break;
        case 'D':
            dynamicPort = true;
            break;
        case 'h':
            displayHelp = true;
            break;
        case 'v':
            displayVersion = true;
            break;
        case 'P':
            parsePID(optarg);
            break;
        default:
            break; // getopt_long has already reported it
        }
    }
    reportUnrecognizedArguments(argc, argv);
}

void InputParser::parsePID(const char* argument)
{
    char* end = nullptr;
    errno = 0;
    const intmax_t value = strtoimax(argument, &end, 10);
    const bool accepted = errno == 0 && end != argument && *end == '\0' && value >= INT_MIN && value <= INT_MAX;
    if (!accepted) {
        // Callers match this line as it always was: bare, without the log's prefix, so not through it.
        std::fputs(Console::badPid, stderr);
        return;
    }
    pid = static_cast<int>(value);
}

void InputParser::reportUnrecognizedArguments(int argc, char** argv)
{
    if (optind >= argc) {
        return;
    }
    std::string message = Console::unrecognizedArgument;
    for (; optind < argc; ++optind) {
        message += argv[optind];
    }
    Logger::Log::error(message);
}

} // namespace YultService::InputOptions
