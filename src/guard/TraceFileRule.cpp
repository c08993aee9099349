#include "guard/TraceFileRule.h"

#include <unistd.h>

namespace YultService::Guard {

std::optional<TraceFileRule::Owner> TraceFileRule::traceOwner(const TargetProcess& target, uid_t agentUid,
                                                              gid_t agentGid)
{
    if (agentUid != 0) {
        return Owner{agentUid, agentGid, {}};
    }
    // The real ids: those of the user the application runs for, which a set-user-ID program
    // it may run later does not change.
    const auto& ids = target.credentials();
    if (!ids) {
        return std::nullopt;
    }
    return Owner{ids->uid(), ids->gid(), ids->groups};
}

TraceFileRule::Decision TraceFileRule::ownerAtAnnouncement(const TargetProcess& target)
{
    const auto change = target.changeSincePinned();
    if (change != TargetProcess::Change::None) {
        return {std::nullopt, target.describe(change)};
    }
    auto owner = traceOwner(target, geteuid(), getegid());
    if (!owner) {
        return {std::nullopt, "the user of the target process " + std::to_string(target.pid()) + " is not known"};
    }
    return {std::move(owner), ""};
}

bool TraceFileRule::mayReplace(const struct stat& existing, const Owner& owner, std::string& why)
{
    if (!S_ISREG(existing.st_mode)) {
        why = "it is not a regular file";
    } else if (existing.st_nlink != 1) {
        why = "it has " + std::to_string(existing.st_nlink) + " links";
    } else if (existing.st_uid != owner.uid) {
        why = "it belongs to user " + std::to_string(existing.st_uid) + ", not " + std::to_string(owner.uid);
    } else {
        return true;
    }
    return false;
}

} // namespace YultService::Guard
