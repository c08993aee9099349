#pragma once

#include "guard/TargetProcess.h"

#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace YultService::Guard {

/// Which file a received trace may replace, and as whom it is written.
///
/// The trace's name comes from the network, so the agent must never destroy a file that the
/// application it serves could not have destroyed itself, while that application's own earlier
/// trace of the same name is still replaced. One owner does both: the target's user (its real ids
/// when the job began) when the agent runs as root, the agent's own effective user otherwise. The
/// trace is created and written with that owner's file-system identity, so the kernel itself
/// allows only what the application could do, and an existing file is replaced only when it is a
/// plain file with one link that belongs to that owner. A target that has ended, whose pid names
/// another process, or that runs with other ids than it did (a set-user-ID program) by the time it
/// announces its trace gets no file at all: its user is no longer known.
class TraceFileRule
{
  public:
    struct Owner
    {
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups; ///< supplementary groups to write with, when writing as another user
    };
    /// The owner, or why there is none.
    struct Decision
    {
        std::optional<Owner> owner;
        std::string refusal; ///< empty when there is an owner
    };

    /// The owner of the trace of `target` for an agent whose effective ids are these; none when
    /// the agent is root and the target's ids were not read.
    static std::optional<Owner> traceOwner(const TargetProcess& target, uid_t agentUid, gid_t agentGid);
    /// The owner for this process once the target announces its trace: none when the target is
    /// not the process, or not the user, that it was when the job began.
    static Decision ownerAtAnnouncement(const TargetProcess& target);
    /// Whether the file found at the path may be truncated and written over; when not, `why` says why.
    static bool mayReplace(const struct stat& existing, const Owner& owner, std::string& why);
};

} // namespace YultService::Guard
