#include "link/Session.h"

#include "link/Console.h"
#include "link/DeadlineBackstop.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>

namespace YultService::SocketCommunication {

namespace {

constexpr int maxWriteRetries = 3;

std::chrono::steady_clock::time_point saturatingNowPlus(std::chrono::steady_clock::duration span)
{
    const auto now = std::chrono::steady_clock::now();
    const auto latest = std::chrono::steady_clock::time_point::max();
    return now > latest - span ? latest : now + span;
}

} // namespace

void Session::moveDeadline()
{
    readExpiry = saturatingNowPlus(job.deadlines.session);
    DeadlineBackstop::postpone(readExpiry);
}

// A message ends at its first NUL.
void Session::doRead(const ReadCallback& callback)
{
    auto self(shared_from_this());
    moveDeadline();
    std::memset(readBuffer, 0, sizeof(readBuffer));
    socket.async_read_some(
        asio::buffer(readBuffer, sizeof(readBuffer)),
        [this, self, callback](const asio::error_code& ec, std::size_t count) {
            if (ec) {
                Logger::Log::error(Logger::Log::StringFormat(Console::readFailed, ec.message().c_str()));
                return;
            }
            logger->info("Received message");
            if (callback) {
                callback(std::string(readBuffer, strnlen(readBuffer, count)), static_cast<unsigned int>(count));
            }
        });
}

// File data keeps every byte; the event loop is entered once per buffer, not once per KiB.
void Session::readTransferData()
{
    auto self(shared_from_this());
    moveDeadline();
    if (!transferBuffer) {
        transferBuffer = std::make_unique<char[]>(transferReadSize);
    }
    socket.async_read_some(asio::buffer(transferBuffer.get(), transferReadSize),
                           [this, self](const asio::error_code& ec, std::size_t count) {
                               if (ec) {
                                   Logger::Log::error(
                                       Logger::Log::StringFormat(Console::readFailed, ec.message().c_str()));
                                   return;
                               }
                               feedTransfer(count);
                           });
}

void Session::doWrite(const std::string& message, const WriteCallback& callback)
{
    auto self(shared_from_this());
    logger->info("Sending message");
    auto text = std::make_shared<std::string>(message);
    // The first attempt is made here and now: the protocol ends the process right after its last
    // write, and a broken connection must fail at once, not wait for a readiness event that the
    // edge-triggered reactor has already consumed. Only what the socket cannot take yet waits.
    asio::error_code ec;
    const std::size_t sent = writesPending == 0 ? sendNow(*text, ec) : 0;
    ++writesPending;
    if (ec || sent == text->size()) {
        asio::post(socket.get_executor(), [this, self, text, callback, ec] { completeWrite(ec, *text, callback); });
        return;
    }
    asio::async_write(socket, asio::buffer(*text) + sent,
                      [this, self, text, callback](const asio::error_code& error, std::size_t) {
                          completeWrite(error, *text, callback);
                      });
}

std::size_t Session::sendNow(const std::string& text, asio::error_code& ec)
{
    ssize_t sent = 0;
    do {
        sent = ::send(socket.native_handle(), text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent >= 0) {
        return static_cast<std::size_t>(sent);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ec.assign(errno, asio::error::get_system_category());
    }
    return 0;
}

void Session::completeWrite(const asio::error_code& ec, const std::string& text, const WriteCallback& callback)
{
    --writesPending;
    if (!ec) {
        writeRetryCount = 0;
        if (callback) {
            callback();
        }
        return;
    }
    if (writeRetryCount >= maxWriteRetries) {
        writeRetryCount = 0;
        Logger::Log::error(Console::writesExhausted);
        endRun();
        return;
    }
    ++writeRetryCount;
    Logger::Log::error(Logger::Log::StringFormat(Console::writeFailed, ec.message().c_str(), writeRetryCount));
    doWrite(text, callback);
}

} // namespace YultService::SocketCommunication
