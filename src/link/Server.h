#pragma once

#include "guard/PeerAccess.h"
#include "guard/TargetProcess.h"
#include "link/ConnectionDiagnosis.h"
#include "link/LinkJob.h"

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
    /// The session it starts ends its run through `ending`; the deadline throws out of the loop.
    Server(asio::io_context& ioContext, unsigned short port, const LinkJob& job, const Guard::TargetProcess& target,
           Ending ending);

  private:
    void doAccept();
    std::string describePeer() const;
    void armDeadlineWait();
    void checkDeadline();

    asio::ip::tcp::acceptor acceptor;
    asio::ip::tcp::socket socket;
    asio::io_context& ioContext;
    asio::steady_timer deadline;
    const LinkJob job;
    const Guard::TargetProcess& target;
    const Ending ending;
    bool accepted = false;
    bool toldOwnerRule = false;
    Guard::PeerAccess::Snapshot holders; ///< the last full look at who holds which socket
    WaitRecord seen;                     ///< what the wait for the connection met, for the verbose diagnosis
};

} // namespace YultService::SocketCommunication
