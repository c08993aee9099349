#include "link/Console.h"
#include "link/Session.h"
#include "link/Wire.h"

#include <algorithm>
#include <cctype>

namespace YultService::SocketCommunication {

using namespace Wire;

namespace {

std::string lowerCased(const std::string& message)
{
    std::string copy = message;
    std::transform(copy.begin(), copy.end(), copy.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return copy;
}

} // namespace

void Session::readNextMessage()
{
    doRead([this](const std::string& message, unsigned int) { handleMessage(message); });
}

void Session::handleMessage(const std::string& message)
{
    const std::string text = lowerCased(message);
    if (text == hello) {
        doWrite(hello, [this] { readNextMessage(); });
    } else if (text == handshakeSuccessAck) {
        logger->info("handleMessage() - Handshake successful");
        sendCommand();
    } else if (text == profilingStarted) {
        Logger::Log::result(Console::profilingStarted);
        endRun();
    } else if (text == profilingStopped) {
        Logger::Log::result(Console::profilingStopped);
        readNextMessage();
    } else if (text == profilingNotInProgress) {
        logger->warn("Profiling is not in progress");
        endRun();
    } else if (text == profilingInProgress) {
        logger->warn("Profiling is already in progress");
        endRun();
    } else if (beginsWith(text, traceMetadataKey)) {
        handleTraceAnnouncement(text);
    } else if (beginsWith(text, heapMetadataKey)) {
        handleHeapAnnouncement(text);
    }
    // Anything else is dropped: no reply, no further read.
}

void Session::sendCommand()
{
    doWrite(job.command, [this] { readNextMessage(); });
}

void Session::handleTraceAnnouncement(const std::string& message)
{
    const auto [valid, parsed] = parseTraceFileMetadata(message);
    if (!valid) {
        Logger::Log::error(Console::traceMetadataCorrupted);
        endRun();
        return;
    }
    logger->info("Received CPU Trace file metadata");
    auto metadata = std::make_shared<TraceFileMetadata>(parsed);
    doWrite(traceMetadataAck, [this, metadata] {
        readCPUTraceFileData(metadata, [this, metadata](const std::string& path, std::streamoff count, bool stored) {
            finishTraceReception(metadata, path, count, stored);
        });
    });
}

void Session::handleHeapAnnouncement(const std::string& message)
{
    const auto [valid, parsed] = parseJavaScriptHeapInfoMetadata(message);
    if (!valid) {
        Logger::Log::error(Console::heapMetadataCorrupted);
        endRun();
        return;
    }
    logger->info("Received JavaScript HeapInfo metadata");
    auto metadata = std::make_shared<JavaScriptHeapInfoMetadata>(parsed);
    doWrite(heapMetadataAck, [this, metadata] {
        readJavaScriptHeapInfoData(metadata, [this](std::string& line, std::streamoff) { finishHeapReception(line); });
    });
}

} // namespace YultService::SocketCommunication
