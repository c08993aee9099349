#include "link/Console.h"
#include "link/Session.h"
#include "link/TraceFile.h"
#include "link/Wire.h"
#include "utils/Helper.h"

#include <algorithm>
#include <cstring>

namespace YultService::SocketCommunication {

namespace {

const std::string heapLabel = Console::heapInfo;
// Room reserved for an announced summary at most: an announcement is not trusted.
constexpr std::streamoff heapReserveCap = std::streamoff{64} << 20;

} // namespace

void Session::readCPUTraceFileData(const std::shared_ptr<TraceFileMetadata>& metadata,
                                   const TraceReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error(Console::traceMetadataMissing);
        return;
    }
    const std::string path = "/tmp/" + metadata->filename;
    // Decided when the trace is announced: the target may have changed since the job began.
    const auto decision = Guard::TraceFileRule::ownerAtAnnouncement(target);
    auto file = std::make_shared<TraceFile>(path, decision.owner, decision.refusal);
    CompletionAction done = [this, file, callback, path](std::streamoff count) {
        const bool stored = file->close();
        if (!file->trouble().empty()) {
            logger->warn(
                Logger::Log::StringFormat("readCPUTraceFileData - Trace file not stored: %s", file->trouble().c_str()));
        }
        callback(path, count, stored);
    };
    receiveTransfer(
        metadata->filesize, [file](const char* data, std::size_t size) { file->write(data, size); }, done);
}

void Session::readJavaScriptHeapInfoData(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                         const HeapReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error(Console::heapMetadataMissing);
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

void Session::receiveTransfer(std::streamoff announced, TransferFeed::Sink keep, const CompletionAction& done)
{
    transfer = std::make_unique<Transfer>(Transfer{TransferFeed(announced, std::move(keep)), done});
    if (transfer->feed.complete()) {
        awaitEmptyTransfer();
        return;
    }
    readTransferData();
}

// An announced size of 0 owes no byte, but the application reads one message per read: a receipt
// sent right behind the acknowledgement would reach it in the same read, as neither. So the
// transfer waits for one read (the end marker, usually), or for a short grace without one.
void Session::awaitEmptyTransfer()
{
    readTransferData();
    graceTimer.expires_after(job.deadlines.emptyTransfer);
    graceTimer.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
        const auto self = weak.lock();
        if (!ec && self && self->transfer) {
            self->finishTransfer();
        }
    });
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
        Logger::Log::error(Console::traceFailed);
        Logger::Log::error(Logger::Log::StringFormat(Console::traceFilePath, path.c_str()));
        endRun();
        return;
    }
    doWrite(Wire::traceFileReceived, nullptr);
    Logger::Log::result(Console::traceDumpedTo + path);
    endRun();
}

void Session::finishHeapReception(std::string& line)
{
    const std::size_t length = line.size() - heapLabel.size();
    if (length == 0) {
        Logger::Log::error(Console::heapFailed);
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
