#include "link/Server.h"

#include "link/DeadlineBackstop.h"
#include "link/Session.h"
#include "logger/Log.h"
#include "utils/Helper.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace YultService::SocketCommunication {

namespace {

constexpr std::chrono::seconds connectTimeout{5};
constexpr int listenBacklog = 4096;
const std::string expiredMessage =
    "checkDeadline() - Closing connection since the deadline to complete operation has expired";

std::uint32_t networkOrder(const asio::ip::address_v4& address)
{
    const auto bytes = address.to_bytes();
    std::uint32_t raw = 0;
    std::memcpy(&raw, bytes.data(), sizeof(raw));
    return raw;
}

} // namespace

Server::Server(asio::io_context& ioContext, unsigned short port,
               const std::shared_ptr<InputOptions::InputParser>& options)
    : acceptor(ioContext), socket(ioContext), ioContext(ioContext), deadline(ioContext), options(options)
{
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::any(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(listenBacklog);
    deadline.expires_after(connectTimeout);
    DeadlineBackstop::arm(deadline.expiry(), expiredMessage, 1); // main's status for an error of the job
    armDeadlineWait();
    doAccept();
}

void Server::doAccept()
{
    acceptor.async_accept(socket, [this](const asio::error_code& ec) {
        const Logger::Log logger(options->isVerboseMode());
        if (ec) {
            Logger::Log::error(Logger::Log::StringFormat("doAccept - Error accepting connection. error Message: %s",
                                                         ec.message().c_str()));
            return;
        }
        if (!mayServePeer()) {
            logger.warn(Logger::Log::StringFormat("doAccept - Refused connection from %s: not a local process of the "
                                                  "target's user",
                                                  describePeer().c_str()));
            asio::error_code ignored;
            socket.close(ignored);
            doAccept();
            return;
        }
        logger.info("Accepted connection from ostrel application");
        // From here on the session's own deadline bounds the run.
        accepted = true;
        deadline.cancel();
        std::make_shared<Session>(ioContext, std::move(socket), options)->start();
    });
}

// The one connection gets the whole conversation: a forged trace or summary would reach the caller,
// and a held connection would keep the application out. So it is served only from a local socket
// of the target's user, root or our own user, as the kernel's TCP tables name its owner. Where the
// tables cannot be read at all, the peer is served as before.
bool Server::mayServePeer() const
{
    asio::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    const auto own = ec ? peer : socket.local_endpoint(ec);
    if (ec || !peer.address().is_v4() || !own.address().is_v4()) {
        return false;
    }
    const auto lookup = Utils::Helper::lookUpPeer(networkOrder(peer.address().to_v4()), peer.port(),
                                                  networkOrder(own.address().to_v4()), own.port());
    if (!lookup.tablesRead) {
        return true;
    }
    if (!lookup.owner) {
        return false; // not a socket of this host (or of this network namespace)
    }
    const unsigned owner = *lookup.owner;
    if (owner == 0 || owner == geteuid()) {
        return true;
    }
    const auto targetUids = Utils::Helper::processUids(options->getPID());
    return std::find(targetUids.begin(), targetUids.end(), owner) != targetUids.end();
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
    throw std::runtime_error(expiredMessage);
}

} // namespace YultService::SocketCommunication
