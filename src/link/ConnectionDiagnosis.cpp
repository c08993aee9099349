#include "link/ConnectionDiagnosis.h"

#include "logger/Log.h"

namespace YultService::SocketCommunication {

namespace {

using Logger::Log;
using TargetState = Guard::TargetProcess::State;

const std::string lead = "checkDeadline() - No connection from the application: ";

} // namespace

std::string ConnectionDiagnosis::explain(const WaitRecord& seen, const TargetState& target, int pid,
                                         unsigned short port)
{
    // What the server itself saw is certain and outranks what the target looks like afterwards.
    if (!seen.acceptError.empty()) {
        return lead + "accepting a connection failed: " + seen.acceptError;
    }
    if (seen.refusedPeers == 1) {
        return lead + "1 connection came and was refused, from " + seen.lastRefusedPeer;
    }
    if (seen.refusedPeers > 1) {
        return lead + Log::StringFormat("%u connections came and were refused, the last from %s", seen.refusedPeers,
                                        seen.lastRefusedPeer.c_str());
    }
    if (target.presence == TargetState::Ended) {
        return lead + Log::StringFormat("the target process %d has ended", pid);
    }
    if (target.presence == TargetState::Unreadable) {
        return lead + Log::StringFormat("the state of the target process %d cannot be read: %s", pid,
                                        target.whyUnreadable.c_str());
    }
    if (target.state == 'T' || target.state == 't') {
        return lead + Log::StringFormat("the target process %d is stopped and has not taken SIGUSR1", pid);
    }
    if (target.pending && target.blocked) {
        return lead + Log::StringFormat("SIGUSR1 is still pending in the target process %d, which blocks it and "
                                        "does not take it (nobody listens for the profiler signal)",
                                        pid);
    }
    if (target.pending) {
        return lead + Log::StringFormat("SIGUSR1 is still pending in the target process %d, which has not run to "
                                        "take it",
                                        pid);
    }
    if (target.profilerSignal == TargetState::Action::Ignored) {
        return lead + Log::StringFormat("the target process %d ignores SIGUSR1, so it never learned the port", pid);
    }
    return lead + Log::StringFormat("the target process %d took SIGUSR1 but did not connect to port %d (its "
                                    "profiler may be off)",
                                    pid, port);
}

} // namespace YultService::SocketCommunication
