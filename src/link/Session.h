#pragma once

#include "guard/TargetProcess.h"
#include "link/LinkJob.h"
#include "link/Metadata.h"
#include "link/TransferFeed.h"
#include "logger/Log.h"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <ios>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

namespace YultService::SocketCommunication {

// One connection with the profiled application, driven entirely by its own completions.
//
//   start() ── doRead ──▶ handleMessage ──▶ doWrite ──▶ doRead ──▶ ... ──▶ endRun ──▶ ending(0)
//      │          │                                       │
//      │          └─ readExpiry = now + 30 s ◀────────────┘ (every read, and only reads)
//      ▼
//   deadline wait ──▶ checkDeadline: now < readExpiry → wait until readExpiry again;
//                                    otherwise → endRun
//
// A read only records its expiry; the one pending wait catches up when it fires, so the
// timer is not rescheduled for every 1 KiB read of a transfer. Only the pending read and
// write completions own the session (shared_from_this). The deadline wait holds a weak
// reference: when the last completion ends without starting another operation, the session
// is destroyed, its destruction cancels the wait, and the cancelled wait finds nothing.
// Every expiry is also handed to DeadlineBackstop, which ends the run from a timer signal
// should the loop's one thread be stuck in a write to an output that nobody reads.
class Session : public std::enable_shared_from_this<Session>
{
  public:
    using TraceFileMetadata = SocketCommunication::TraceFileMetadata;
    using JavaScriptHeapInfoMetadata = SocketCommunication::JavaScriptHeapInfoMetadata;

    using ReadCallback = std::function<void(const std::string&, unsigned int)>;
    using WriteCallback = std::function<void()>;
    using CompletionAction = std::function<void(std::streamoff)>;
    /// Given the trace path, the final count and whether every received byte reached the file.
    using TraceReceiptCallback = std::function<void(const std::string&, std::streamoff, bool)>;
    /// Given the result line being built ("JavaScript HeapInfo: " and the summary) and the final count.
    using HeapReceiptCallback = std::function<void(std::string&, std::streamoff)>;

    /// Takes over the connected socket; performs no input or output. `target` must outlive the session.
    Session(asio::io_context& ioContext, asio::ip::tcp::socket socket, const LinkJob& job,
            const Guard::TargetProcess& target, Ending ending);

    /// Arms the session deadline and starts reading the application's first message.
    void start();

    /// Reads one message (up to 1024 bytes, cut at the first NUL) and hands it to the callback.
    void doRead(const ReadCallback& callback);
    /// Writes the whole message, retrying up to three times, then calls the callback.
    void doWrite(const std::string& message, const WriteCallback& callback);

    /// Reacts to one message of the application.
    void handleMessage(const std::string& message);

    /// Parses a lower-cased trace file announcement; false when it is corrupted.
    static std::pair<bool, TraceFileMetadata> parseTraceFileMetadata(const std::string& message)
    {
        return SocketCommunication::parseTraceFileMetadata(message);
    }
    /// Parses a lower-cased heap summary announcement; false when it is corrupted.
    static std::pair<bool, JavaScriptHeapInfoMetadata> parseJavaScriptHeapInfoMetadata(const std::string& message)
    {
        return SocketCommunication::parseJavaScriptHeapInfoMetadata(message);
    }

    /// Receives the announced trace into /tmp/<name>, then calls back with the path and the count.
    void readCPUTraceFileData(const std::shared_ptr<TraceFileMetadata>& metadata, const TraceReceiptCallback& callback);
    /// Collects the announced heap summary, then calls back with it and the count.
    void readJavaScriptHeapInfoData(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                    const HeapReceiptCallback& callback);

  private:
    /// Lifecycle (SessionLifecycle.cpp): the session deadline and the end of the run.
    void armDeadlineWait();
    void checkDeadline();
    /// Reports the end of the run (status 0) once what was sent can still reach the application.
    void endRun();

    asio::steady_timer deadline;
    std::chrono::steady_clock::time_point readExpiry; ///< 30 s after the latest read began

    /// Transport (SessionTransport.cpp): reads and writes on the socket; every read moves the deadline.
    void moveDeadline();
    std::size_t sendNow(const std::string& text, asio::error_code& ec);
    void completeWrite(const asio::error_code& ec, const std::string& text, const WriteCallback& callback);
    void readTransferData();

    asio::ip::tcp::socket socket;
    char readBuffer[1024];
    int writeRetryCount = 0; ///< consecutive failed attempts of the message being written
    int writesPending = 0;   ///< writes started whose completion has not run yet
    static constexpr std::size_t transferReadSize = 64 * 1024;
    std::unique_ptr<char[]> transferBuffer;

    /// Protocol (SessionProtocol.cpp): which message comes next and what answers it.
    void readNextMessage(); ///< reads the next message into handleMessage
    void sendCommand();
    void handleTraceAnnouncement(const std::string& message);
    void handleHeapAnnouncement(const std::string& message);

    const LinkJob job;
    const Guard::TargetProcess& target;
    const Ending ending;
    std::unique_ptr<Logger::Log> logger;

    /// Reception (SessionReception.cpp): an announced transfer, then its receipt, result line and end.
    void receiveTransfer(std::streamoff announced, TransferFeed::Sink keep, const CompletionAction& done);
    void awaitEmptyTransfer();
    void feedTransfer(std::size_t count);
    void finishTransfer();
    /// Acknowledges a complete trace and prints where it is, or reports it failed; ends the run.
    void finishTraceReception(const std::shared_ptr<TraceFileMetadata>& metadata, const std::string& path,
                              std::streamoff count, bool stored);
    /// Acknowledges a non-empty summary and prints it, or reports it failed; ends the run.
    void finishHeapReception(std::string& line);

    // A data transfer reads what the kernel holds in one call; the feed cuts it into the
    // 1024-byte reads it would have been with the same data waiting.
    struct Transfer
    {
        TransferFeed feed;
        CompletionAction done;
    };
    std::unique_ptr<Transfer> transfer;
    asio::steady_timer graceTimer; ///< ends the wait for an empty transfer's one read
};

} // namespace YultService::SocketCommunication
