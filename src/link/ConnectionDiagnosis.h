#pragma once

#include "guard/TargetProcess.h"

#include <string>

namespace YultService::SocketCommunication {

/// What the server saw while it waited for the application's connection.
struct WaitRecord
{
    unsigned refusedPeers = 0;   ///< connections accepted and closed unserved
    std::string lastRefusedPeer; ///< the latest of them, as address:port
    std::string acceptError;     ///< the failed accept's error text; empty while none failed
};

/// Why the application did not connect before the server deadline: one warn line, from what the
/// server saw and what the target's /proc status shows.
class ConnectionDiagnosis
{
  public:
    /// The line naming the most specific cause: what the server saw first, then the target's state.
    static std::string explain(const WaitRecord& seen, const Guard::TargetProcess::State& target, int pid,
                               unsigned short port);
};

} // namespace YultService::SocketCommunication
