#include "guard/TraceFileRule.h"

#include "guard/ProcFiles.h"

#include <unistd.h>

namespace YultService::Guard {

std::optional<TraceFileRule::Owner> TraceFileRule::traceOwner(int pid, uid_t agentUid, gid_t agentGid)
{
    if (agentUid != 0) {
        return Owner{agentUid, agentGid};
    }
    // The effective ids: those the application's own files are made with.
    const auto uids = processIds(pid, "Uid:");
    const auto gids = processIds(pid, "Gid:");
    if (uids.size() < 2 || gids.size() < 2) {
        return std::nullopt;
    }
    return Owner{uids[1], gids[1]};
}

std::optional<TraceFileRule::Owner> TraceFileRule::traceOwner(int pid) { return traceOwner(pid, geteuid(), getegid()); }

bool TraceFileRule::mayReplace(const struct stat& existing, const std::optional<Owner>& owner)
{
    return owner && S_ISREG(existing.st_mode) && existing.st_nlink == 1 && existing.st_uid == owner->uid;
}

} // namespace YultService::Guard
