#include "link/ChunkAccounting.h"
#include "link/Session.h"
#include "link/TraceFile.h"
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
    auto received = std::make_shared<std::streampos>(0);
    auto file = std::make_shared<TraceFile>(path, Guard::TraceFileRule::traceOwner(options->getPID()));
    CompletionAction done = [file, callback, path](std::streamoff count) {
        const bool stored = file->close();
        callback(path, count, stored);
    };
    readFileChunksAsync(metadata, file, received, done);
}

void Session::readJavaScriptHeapInfoData(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                         const HeapReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error("readCPUTraceFileData: Missing JavaScript HeapInfo metadata");
        return;
    }
    auto received = std::make_shared<std::streampos>(0);
    // Collected behind its label, so that the result line is printed from where it was collected.
    auto summary = std::make_shared<std::string>(heapLabel);
    const auto room = std::min(std::streamoff(metadata->size), heapReserveCap);
    summary->reserve(heapLabel.size() + static_cast<std::size_t>(room));
    CompletionAction done = [summary, callback](std::streamoff count) { callback(*summary, count); };
    readFileChunksAsync(metadata, summary, received, done);
}

void Session::readFileChunksAsync(const std::shared_ptr<TraceFileMetadata>& metadata,
                                  const std::shared_ptr<TraceFile>& file,
                                  const std::shared_ptr<std::streampos>& received, const CompletionAction& done)
{
    readChunksInto(
        metadata->filesize, [file](const char* data, std::size_t size) { file->write(data, size); }, received, done);
}

void Session::readFileChunksAsync(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                  const std::shared_ptr<std::string>& summary,
                                  const std::shared_ptr<std::streampos>& received, const CompletionAction& done)
{
    readChunksInto(
        metadata->size, [summary](const char* data, std::size_t size) { summary->append(data, size); }, received,
        done);
}

void Session::readChunksInto(std::streamoff announced, const ChunkSink& keep,
                             const std::shared_ptr<std::streampos>& received, const CompletionAction& done)
{
    transfer = std::make_unique<Transfer>(Transfer{announced, keep, received, done});
    readTransferData();
}

// Hands on the buffer in the reads a 1024-byte reader would have made, each moving the
// deadline and logged as a received message. Bytes left when the transfer completes are
// beyond anything the application may send before our acknowledgement; the run ends after it.
void Session::feedTransfer()
{
    constexpr std::size_t pieceSize = sizeof(readBuffer);
    while (transfer && transferBegin < transferEnd) {
        const std::size_t length = std::min(pieceSize, transferEnd - transferBegin);
        const std::string_view piece(transferBuffer.get() + transferBegin, length);
        transferBegin += length;
        logger->info("Received message");
        const ChunkStep step = accountChunk(piece, *transfer->received, transfer->announced);
        transfer->keep(piece.data(), step.storedBytes);
        *transfer->received = step.received;
        if (logger->isVerbose()) { // formatting every 1 KiB read costs more than the read itself
            logger->info(Logger::Log::StringFormat("Data received so far: %lld Total file size: %lld",
                                                   static_cast<long long>(step.received),
                                                   static_cast<long long>(transfer->announced)));
        }
        if (step.complete) {
            const auto finished = std::move(transfer);
            finished->done(step.received);
            return;
        }
        moveDeadline();
    }
    if (transfer) {
        readTransferData();
    }
}

void Session::checkTraceReceipt(const std::shared_ptr<TraceFileMetadata>& metadata, const std::string& path,
                                std::streamoff count, bool stored)
{
    const bool complete = stored && Utils::Helper::fileExists(path) &&
                          Utils::Helper::filesize(path) == std::streampos(count) &&
                          count == std::streamoff(metadata->filesize);
    if (!complete) {
        Logger::Log::error("Error receiving and processing CPU trace file");
        Logger::Log::error(Logger::Log::StringFormat("Trace file path: %s", path.c_str()));
        endRun();
    }
    doWrite("profiler-trace-file-received", nullptr);
    Logger::Log::result(Logger::Log::StringFormat("%s%s", "Profile trace dumped to : ", path.c_str()));
    endRun();
}

void Session::checkHeapReceipt(std::string& line)
{
    const std::size_t length = line.size() - heapLabel.size();
    if (length == 0) {
        Logger::Log::error("Error receiving and processing JavaScript HeapInfo data");
        endRun();
    }
    doWrite("js-heapinfo-received", nullptr);
    // Printed up to its first zero byte.
    line.resize(heapLabel.size() + strnlen(line.data() + heapLabel.size(), length));
    Logger::Log::result(line);
    endRun();
}

} // namespace YultService::SocketCommunication
