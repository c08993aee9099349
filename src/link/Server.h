#pragma once

#include "guard/PeerAccess.h"
#include "guard/TargetProcess.h"
#include "link/ConnectionDiagnosis.h"
#include "options/InputParser.h"

#include <asio.hpp>

#include <memory>
#include <string>

namespace YultService::SocketCommunication {

/// The listening end of the link: serves exactly one connection, from the target (or a process it
/// started), and starts a session on it; other peers are closed unserved. The server deadline
/// bounds only the wait for that connection.
class Server
{
  public:
    /// Listens on 0.0.0.0:port (throws std::system_error naming the failed step), arms the
    /// deadline and starts the one accept. Must outlive the event loop's run, as must `target`.
    Server(asio::io_context& ioContext, unsigned short port, const std::shared_ptr<InputOptions::InputParser>& options,
           const Guard::TargetProcess& target);

  private:
    void doAccept();
    std::string describePeer() const;
    void armDeadlineWait();
    void checkDeadline();

    asio::ip::tcp::acceptor acceptor;
    asio::ip::tcp::socket socket;
    asio::io_context& ioContext;
    asio::steady_timer deadline;
    const std::shared_ptr<InputOptions::InputParser>& options;
    const Guard::TargetProcess& target;
    bool accepted = false;
    bool toldOwnerRule = false;
    Guard::PeerAccess::Snapshot holders; ///< the last full look at who holds which socket
    WaitRecord seen;                     ///< what the wait for the connection met, for the verbose diagnosis
};

} // namespace YultService::SocketCommunication
