#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace YultService::SocketCommunication {

/// How long each wait of the link may last.
struct Deadlines
{
    std::chrono::milliseconds connection{5000};    ///< for the application's connection, from listening on
    std::chrono::milliseconds session{30000};      ///< after the session's latest read began
    std::chrono::milliseconds emptyTransfer{1000}; ///< for the one read after an empty transfer's acknowledgement
};

/// The job as the link carries it out, built once from the command line before the link starts.
struct LinkJob
{
    int pid = 0;
    bool verbose = false;
    std::string command; ///< what the agent sends once the handshake has succeeded
    bool dynamicPort = false;
    Deadlines deadlines;
};

/// Where a session's run ends, with its status: the agent's ending exits, a test's records it and
/// stops the event loop. Called once, last: the session starts nothing after it.
using Ending = std::function<void(int status)>;

} // namespace YultService::SocketCommunication
