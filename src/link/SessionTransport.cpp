#include "link/Session.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace YultService::SocketCommunication {

namespace {

constexpr std::chrono::seconds sessionTimeout{30};
constexpr int maxWriteRetries = 3;

// Consecutive failed write attempts; the process has one session and one thread.
int writeRetryCount = 0;

std::chrono::steady_clock::time_point saturatingNowPlus(std::chrono::steady_clock::duration span)
{
    const auto now = std::chrono::steady_clock::now();
    const auto latest = std::chrono::steady_clock::time_point::max();
    return now > latest - span ? latest : now + span;
}

} // namespace

void Session::doRead(const ReadCallback& callback) { startRead(false, callback); }

// Messages end at their first NUL; file data (wholeChunk) must keep every byte of the read.
void Session::startRead(bool wholeChunk, const ReadCallback& callback)
{
    auto self(shared_from_this());
    readExpiry = saturatingNowPlus(sessionTimeout);
    std::memset(readBuffer, 0, sizeof(readBuffer));
    socket.async_read_some(asio::buffer(readBuffer, sizeof(readBuffer)),
                           [this, self, wholeChunk, callback](const asio::error_code& ec, std::size_t count) {
                               if (ec) {
                                   Logger::Log::error(
                                       Logger::Log::StringFormat("doRead - error - %s", ec.message().c_str()));
                                   return;
                               }
                               logger->info("Received message");
                               if (!callback) {
                                   return;
                               }
                               const std::size_t length = wholeChunk ? count : strnlen(readBuffer, count);
                               callback(std::string(readBuffer, length), static_cast<unsigned int>(count));
                           });
}

void Session::doWrite(const std::string& message, const WriteCallback& callback)
{
    auto self(shared_from_this());
    logger->info("Sending message");
    auto text = std::make_shared<std::string>(message);
    asio::async_write(socket, asio::buffer(*text),
                      [this, self, text, callback](const asio::error_code& ec, std::size_t) {
                          if (!ec) {
                              writeRetryCount = 0;
                              if (callback) {
                                  callback();
                              }
                              return;
                          }
                          if (writeRetryCount >= maxWriteRetries) {
                              writeRetryCount = 0;
                              Logger::Log::error("doWrite : Exhausted max write retries. Closing connection.");
                              std::exit(0);
                          }
                          ++writeRetryCount;
                          Logger::Log::error(Logger::Log::StringFormat("doWrite - error - %s, Attempt %d",
                                                                       ec.message().c_str(), writeRetryCount));
                          doWrite(*text, callback);
                      });
}

} // namespace YultService::SocketCommunication
