#include "link/Session.h"

#include "link/Console.h"
#include "link/DeadlineBackstop.h"

#include <chrono>
#include <cstring>

namespace YultService::SocketCommunication {

namespace {
// The session's own deadline line has always ended in an empty line.
const std::string expiredMessage = std::string(Console::deadlineExpired) + "\n";
} // namespace

Session::Session(asio::io_context& ioContext, asio::ip::tcp::socket socket, const LinkJob& job,
                 const Guard::TargetProcess& target, Ending ending)
    : deadline(ioContext), socket(std::move(socket)), readBuffer{}, job(job), target(target), ending(std::move(ending)),
      logger(std::make_unique<Logger::Log>(job.verbose)), graceTimer(ioContext)
{
}

void Session::start()
{
    readNextMessage();
    DeadlineBackstop::arm(readExpiry, expiredMessage, 0);
    deadline.expires_at(readExpiry);
    armDeadlineWait();
}

void Session::armDeadlineWait()
{
    deadline.async_wait([weak = weak_from_this()](const asio::error_code&) {
        if (const auto self = weak.lock()) {
            self->checkDeadline();
        }
    });
}

void Session::checkDeadline()
{
    if (std::chrono::steady_clock::now() < readExpiry) {
        deadline.expires_at(readExpiry);
        armDeadlineWait();
        return;
    }
    Logger::Log::error(expiredMessage);
    endRun();
}

void Session::endRun()
{
    // Bytes left unread make the kernel reset the connection when the process ends, and a
    // reset can discard our last message before the application has read it. Half-close
    // and take what is already waiting; a bounded amount, so a flooding peer cannot hold us.
    asio::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    socket.non_blocking(true, ignored);
    char sink[4096];
    for (int round = 0; round < 64; ++round) {
        asio::error_code ec;
        socket.read_some(asio::buffer(sink), ec);
        if (ec) {
            break;
        }
    }
    ending(0);
}

} // namespace YultService::SocketCommunication
