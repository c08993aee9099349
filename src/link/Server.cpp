#include "link/Server.h"

#include "link/Console.h"
#include "link/DeadlineBackstop.h"
#include "link/Session.h"
#include "logger/Log.h"

#include <chrono>
#include <stdexcept>

namespace YultService::SocketCommunication {

namespace {

constexpr int listenBacklog = 4096;
const std::string expiredMessage = Console::deadlineExpired;

} // namespace

Server::Server(asio::io_context& ioContext, unsigned short port, const LinkJob& job, const Guard::TargetProcess& target,
               Ending ending)
    : acceptor(ioContext), socket(ioContext), ioContext(ioContext), deadline(ioContext), job(job), target(target),
      ending(std::move(ending))
{
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::any(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(listenBacklog);
    deadline.expires_after(job.deadlines.connection);
    DeadlineBackstop::arm(deadline.expiry(), expiredMessage, 1); // main's status for an error of the job
    armDeadlineWait();
    doAccept();
}

void Server::doAccept()
{
    acceptor.async_accept(socket, [this](const asio::error_code& ec) {
        const Logger::Log logger(job.verbose);
        if (ec) {
            Logger::Log::error(Logger::Log::StringFormat(Console::acceptFailed, ec.message().c_str()));
            seen.acceptError = ec.message();
            return;
        }
        const auto decision = Guard::PeerAccess::decide(acceptor.native_handle(), socket, target, holders);
        if (!decision.ownerRule.empty() && !toldOwnerRule) {
            toldOwnerRule = true;
            logger.warn("doAccept - The target's descriptors cannot be read (" + decision.ownerRule +
                        "): serving any local process of the target's user, root or our own user");
        }
        if (!decision.served) {
            ++seen.refusedPeers;
            seen.lastRefusedPeer = describePeer();
            logger.warn(Logger::Log::StringFormat("doAccept - Refused connection from %s: %s",
                                                  seen.lastRefusedPeer.c_str(), decision.reason.c_str()));
            asio::error_code ignored;
            socket.close(ignored);
            doAccept();
            return;
        }
        logger.info("Accepted connection from ostrel application");
        // From here on the session's own deadline bounds the run.
        accepted = true;
        deadline.cancel();
        std::make_shared<Session>(ioContext, std::move(socket), job, target, ending)->start();
    });
}

std::string Server::describePeer() const
{
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    return ec ? "an unknown peer" : peer.address().to_string() + ":" + std::to_string(peer.port());
}

void Server::armDeadlineWait()
{
    deadline.async_wait([this](const asio::error_code&) { checkDeadline(); });
}

void Server::checkDeadline()
{
    if (accepted) {
        return;
    }
    if (std::chrono::steady_clock::now() < deadline.expiry()) {
        armDeadlineWait();
        return;
    }
    // A verbose run says why no connection came, before the deadline's error ends it.
    const Logger::Log logger(job.verbose);
    if (logger.isVerbose()) {
        asio::error_code ec;
        logger.warn(ConnectionDiagnosis::explain(seen, target.currentState(), target.pid(),
                                                 acceptor.local_endpoint(ec).port()));
    }
    throw std::runtime_error(expiredMessage);
}

} // namespace YultService::SocketCommunication
