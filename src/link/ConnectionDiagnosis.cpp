#include "link/ConnectionDiagnosis.h"

#include "guard/ProcFiles.h"
#include "guard/TargetSignal.h"
#include "logger/Log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace YultService::SocketCommunication {

namespace {

using Logger::Log;

const std::string lead = "checkDeadline() - No connection from the application: ";

} // namespace

TargetState ConnectionDiagnosis::parseStatus(const std::string& status)
{
    const auto field = [&status](const char* key) { return Guard::statusField(status, key).value_or(""); };
    const auto holdsProfilerSignal = [&status](const char* key) {
        return Guard::TargetSignal::profilerSignalInMask(status, key).value_or(false);
    };
    TargetState target;
    const std::string state = field("State:");
    const auto letter = state.find_first_not_of(" \t");
    target.state = letter == std::string::npos ? '?' : state[letter];
    // A thread group whose leader has exited shows the leader as a zombie while other threads
    // still run; the process has ended only when none is left.
    const bool dead = target.state == 'Z' || target.state == 'X';
    if (dead && std::strtol(field("Threads:").c_str(), nullptr, 10) <= 1) {
        target.presence = TargetState::Ended;
    }
    // sigqueue to a process leaves the signal in the shared queue (ShdPnd) until a thread takes it.
    target.pending = holdsProfilerSignal("SigPnd:") || holdsProfilerSignal("ShdPnd:");
    target.blocked = holdsProfilerSignal("SigBlk:");
    target.ignored = holdsProfilerSignal("SigIgn:");
    return target;
}

TargetState ConnectionDiagnosis::readTarget(int pid)
{
    const auto status = Guard::readProcFile(Guard::processPath(pid) + "/status");
    if (status) {
        return parseStatus(*status);
    }
    const int error = errno;
    TargetState target;
    if (error == ENOENT || error == ESRCH) {
        target.presence = TargetState::Ended;
    } else {
        target.presence = TargetState::Unreadable;
        target.whyUnreadable = std::strerror(error);
    }
    return target;
}

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
    if (target.ignored) {
        return lead + Log::StringFormat("the target process %d ignores SIGUSR1, so it never learned the port", pid);
    }
    return lead + Log::StringFormat("the target process %d took SIGUSR1 but did not connect to port %d (its "
                                    "profiler may be off)",
                                    pid, port);
}

} // namespace YultService::SocketCommunication
