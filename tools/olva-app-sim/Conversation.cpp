#include "Conversation.h"

#include "CpuProfile.h"
#include "HeapSummary.h"
#include "Support.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include <unistd.h>

namespace OlvaAppSim {
namespace {

// The agent reads each message with a single read and sends nothing back
// after "profiling-stopped"; without a gap that message and the trace
// announcement can arrive in one read and the agent drops both.
constexpr std::chrono::milliseconds messageGap{100};

const std::string endMarker = "profiler-trace-data-end";

// A payload handed over as announcement, acknowledgement, data, receipt.
struct Transfer
{
    std::string announcement;
    std::string acknowledgement;
    std::string content;
    std::string receipt;
};

std::int64_t nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string traceFileName(const std::string& appName, std::int64_t stoppedAtUs)
{
    std::string name = appName + "-" + std::to_string(stoppedAtUs / 1'000'000) + ".cpuprofile";
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) {
        return c == '/' || std::isspace(c) ? '_' : static_cast<char>(std::tolower(c));
    });
    return name;
}

// The agent ends the conversation by closing; anything it says first is odd.
void awaitClose(Connection& connection)
{
    const std::optional<std::string> rest = connection.receiveUntilEof();
    if (rest && !rest->empty()) {
        logLine("unexpected data before close: \"" + *rest + "\"");
    }
}

void transfer(Connection& connection, const Transfer& payload, const Options& options)
{
    if (!connection.sendMessage(payload.announcement) || !connection.expect(payload.acknowledgement) ||
        !connection.sendStream(payload.content, options.chunk) ||
        (options.marker && !connection.sendMessage(endMarker))) {
        return;
    }
    const std::optional<std::string> reply = connection.receiveUntilEof();
    if (reply == payload.receipt) {
        logLine("agent confirmed \"" + payload.receipt + "\"");
    } else {
        logLine("agent did not confirm \"" + payload.receipt + "\", got \"" + reply.value_or("") + "\"");
    }
}

void startProfiling(Connection& connection, Profiler& profiler)
{
    const bool running = profiler.startedAtUs.has_value();
    if (!running) {
        profiler.startedAtUs = nowUs();
        logLine("profiler started");
    }
    if (connection.sendMessage(running ? "profiling-in-progress" : "profiling-started")) {
        awaitClose(connection);
    }
}

void stopProfiling(Connection& connection, Profiler& profiler, const Options& options)
{
    if (!profiler.startedAtUs) {
        if (connection.sendMessage("profiling-not-in-progress")) {
            awaitClose(connection);
        }
        return;
    }
    const std::int64_t stoppedAtUs = nowUs();
    const std::string trace = buildCpuProfile(*profiler.startedAtUs, stoppedAtUs, options.traceBytes);
    profiler.startedAtUs.reset();
    logLine("profiler stopped");
    if (!connection.sendMessage("profiling-stopped")) {
        return;
    }
    std::this_thread::sleep_for(messageGap);
    transfer(connection,
             {"profiler-trace-metadata:trace-filename:" + traceFileName(options.name, stoppedAtUs) +
                  "#trace-filesize:" + std::to_string(trace.size()),
              "ack-profiler-trace-metadata", trace, "profiler-trace-file-received"},
             options);
}

void sendHeapInfo(Connection& connection, const Options& options)
{
    const std::string summary = buildHeapSummary(options.name, getpid(), options.heapBytes);
    transfer(connection,
             {"js-heapinfo-metadata:js-heapinfo-size:" + std::to_string(summary.size()), "js-heapinfo-metadata-ack",
              summary, "js-heapinfo-received"},
             options);
}

} // namespace

void converse(Connection& connection, Profiler& profiler, const Options& options)
{
    if (!connection.sendMessage("hello") || !connection.expect("hello") ||
        !connection.sendMessage("handshake-success-ack")) {
        return;
    }
    const std::optional<std::string> command = connection.receiveMessage();
    if (!command) {
        return;
    }
    if (*command == "start-profiling") {
        startProfiling(connection, profiler);
    } else if (*command == "stop-profiling") {
        stopProfiling(connection, profiler, options);
    } else if (*command == "get-js-heapinfo") {
        sendHeapInfo(connection, options);
    } else if (*command == "bye") {
        logLine("agent said bye");
    } else {
        logLine("unknown command, closing");
    }
}

} // namespace OlvaAppSim
