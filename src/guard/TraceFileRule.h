#pragma once

#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

namespace YultService::Guard {

/// Which file a received trace may replace.
///
/// The trace's name comes from the network, so the agent must never destroy a file that the
/// application it serves could not have destroyed itself, while that application's own earlier
/// trace of the same name is still replaced. One owner does both: the target's user when the
/// agent runs as root, the agent's own effective user otherwise. The trace is created with that
/// owner, and an existing file is replaced only when it is a plain file with one link that belongs
/// to that owner. Run as root for another user's target, root's files under /tmp are never
/// touched; run for a root target, or as the target's own user, nothing else changes.
class TraceFileRule
{
  public:
    struct Owner
    {
        uid_t uid = 0;
        gid_t gid = 0;
    };

    /// The owner of the trace of target `pid` for an agent whose effective ids are these;
    /// nullopt when the agent is root and the target's ids cannot be read (nothing is replaced
    /// then, and a new file stays root's).
    static std::optional<Owner> traceOwner(int pid, uid_t agentUid, gid_t agentGid);
    /// The same for this process.
    static std::optional<Owner> traceOwner(int pid);
    /// Whether the file found at the path may be truncated and written over.
    static bool mayReplace(const struct stat& existing, const std::optional<Owner>& owner);
};

} // namespace YultService::Guard
