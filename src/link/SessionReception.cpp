#include "link/Session.h"
#include "link/TraceFile.h"
#include "link/Wire.h"
#include "utils/Helper.h"

#include <algorithm>
#include <cstring>

namespace YultService::SocketCommunication {

namespace {

const std::string heapLabel = "JavaScript HeapInfo: ";
// Room reserved for an announced summary at most: an announcement is not trusted.
constexpr std::streamoff heapReserveCap = std::streamoff{64} << 20;

} // namespace

void Session::readCPUTraceFileData(const std::shared_ptr<TraceFileMetadata>& metadata,
                                   const TraceReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error("readCPUTraceFileData: Missing tracefile metadata");
        return;
    }
    const std::string path = "/tmp/" + metadata->filename;
    auto file = std::make_shared<TraceFile>(path, Guard::TraceFileRule::traceOwner(options->getPID()));
    CompletionAction done = [file, callback, path](std::streamoff count) {
        const bool stored = file->close();
        callback(path, count, stored);
    };
    receiveTransfer(
        metadata->filesize, [file](const char* data, std::size_t size) { file->write(data, size); }, done);
}

void Session::readJavaScriptHeapInfoData(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                         const HeapReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error("readCPUTraceFileData: Missing JavaScript HeapInfo metadata");
        return;
    }
    // Collected behind its label, so that the result line is printed from where it was collected.
    auto summary = std::make_shared<std::string>(heapLabel);
    const auto room = std::min(std::streamoff(metadata->size), heapReserveCap);
    summary->reserve(heapLabel.size() + static_cast<std::size_t>(room));
    CompletionAction done = [summary, callback](std::streamoff count) { callback(*summary, count); };
    receiveTransfer(
        metadata->size, [summary](const char* data, std::size_t size) { summary->append(data, size); }, done);
}

// An announced size of 0 is complete before any read: the application owes no byte, and the
// end marker it may still send would only be dropped.
void Session::receiveTransfer(std::streamoff announced, TransferFeed::Sink keep, const CompletionAction& done)
{
    transfer = std::make_unique<Transfer>(Transfer{TransferFeed(announced, std::move(keep)), done});
    if (transfer->feed.complete()) {
        finishTransfer();
        return;
    }
    readTransferData();
}

// Each piece the feed takes counts as one received message with its progress line.
void Session::feedTransfer(std::size_t count)
{
    const auto report = [this](std::streamoff received) {
        logger->info("Received message");
        if (logger->isVerbose()) { // formatting every 1 KiB read costs more than the read itself
            logger->info(Logger::Log::StringFormat("Data received so far: %lld Total file size: %lld",
                                                   static_cast<long long>(received),
                                                   static_cast<long long>(transfer->feed.announcedSize())));
        }
    };
    if (transfer->feed.feed(std::string_view(transferBuffer.get(), count), report)) {
        finishTransfer();
        return;
    }
    readTransferData();
}

void Session::finishTransfer()
{
    const auto finished = std::move(transfer);
    finished->done(finished->feed.receivedCount());
}

void Session::finishTraceReception(const std::shared_ptr<TraceFileMetadata>& metadata, const std::string& path,
                                   std::streamoff count, bool stored)
{
    const bool complete = stored && Utils::Helper::fileExists(path) &&
                          Utils::Helper::filesize(path) == std::streampos(count) &&
                          count == std::streamoff(metadata->filesize);
    if (!complete) {
        Logger::Log::error("Error receiving and processing CPU trace file");
        Logger::Log::error(Logger::Log::StringFormat("Trace file path: %s", path.c_str()));
        endRun();
        return;
    }
    doWrite(Wire::traceFileReceived, nullptr);
    Logger::Log::result(Logger::Log::StringFormat("%s%s", "Profile trace dumped to : ", path.c_str()));
    endRun();
}

void Session::finishHeapReception(std::string& line)
{
    const std::size_t length = line.size() - heapLabel.size();
    if (length == 0) {
        Logger::Log::error("Error receiving and processing JavaScript HeapInfo data");
        endRun();
        return;
    }
    doWrite(Wire::heapInfoReceived, nullptr);
    // Printed up to its first zero byte.
    line.resize(heapLabel.size() + strnlen(line.data() + heapLabel.size(), length));
    Logger::Log::result(line);
    endRun();
}

} // namespace YultService::SocketCommunication
