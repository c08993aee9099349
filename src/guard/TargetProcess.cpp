#include "guard/TargetProcess.h"

#include "guard/ProcFiles.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace YultService::Guard {

namespace {

// The start time is field 22 of /proc/<pid>/stat; the name before it (field 2, in parentheses)
// may hold blanks and parentheses itself, so fields are counted from its last ')'.
constexpr int startTimeField = 22;

// The field `index` (1-based, as proc(5) counts) of a stat text, from field 3 on.
std::optional<std::string> statField(const std::string& stat, int index)
{
    const auto nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int at = 3; fields >> field; ++at) {
        if (at == index) {
            return field;
        }
    }
    return std::nullopt;
}

int openPidfd(int pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

TargetProcess TargetProcess::pin(int pid)
{
    TargetProcess target(pid);
    // The pidfd first: whatever is read after it is known to be of the process it names, once
    // the start time read after it matches the one read at the end.
    target.pidfd = openPidfd(pid);
    target.pinError = target.pidfd < 0 ? errno : 0;
    const auto stat = readProcFile(processPath(pid) + "/stat");
    target.startTime = stat ? startTimeOf(*stat) : std::nullopt;
    target.ids = readCredentials(pid);
    return target;
}

TargetProcess::TargetProcess(TargetProcess&& other) noexcept
    : processId(other.processId), pidfd(other.pidfd), pinError(other.pinError), startTime(other.startTime),
      ids(std::move(other.ids))
{
    other.pidfd = -1;
}

TargetProcess::~TargetProcess()
{
    if (pidfd >= 0) {
        close(pidfd);
    }
}

std::optional<TargetProcess::Credentials> TargetProcess::readCredentials(int pid)
{
    const auto status = readProcFile(processPath(pid) + "/status");
    if (!status) {
        return std::nullopt;
    }
    Credentials credentials;
    credentials.uids = statusNumbers(*status, "Uid:");
    credentials.gids = statusNumbers(*status, "Gid:");
    for (const unsigned group : statusNumbers(*status, "Groups:")) {
        credentials.groups.push_back(static_cast<gid_t>(group));
    }
    if (credentials.uids.size() != 4 || credentials.gids.size() != 4) {
        return std::nullopt;
    }
    return credentials;
}

int TargetProcess::queueSignal(int signal, int value) const
{
    if (pidfd < 0 && pinError == ESRCH) {
        errno = ESRCH; // gone before it was pinned: its pid may name another process by now
        return -1;
    }
#ifdef SYS_pidfd_send_signal
    if (pidfd >= 0) {
        // What sigqueue would send: the value, and who sent it.
        siginfo_t info{};
        info.si_signo = signal;
        info.si_code = SI_QUEUE;
        info.si_pid = getpid();
        info.si_uid = getuid();
        info.si_value.sival_int = value;
        const long sent = syscall(SYS_pidfd_send_signal, pidfd, signal, &info, 0);
        if (sent == 0 || errno != ENOSYS) {
            return static_cast<int>(sent);
        }
    }
#endif
    sigval carried{};
    carried.sival_int = value;
    return sigqueue(processId, signal, carried);
}

TargetProcess::Change TargetProcess::changeSincePinned() const
{
    const auto stat = readProcFile(processPath(processId) + "/stat");
    if (!stat) {
        return Change::Ended;
    }
    if (startTimeOf(*stat) != startTime || !startTime) {
        return Change::Replaced;
    }
    const char state = stateOf(*stat);
    if (state == 'Z' || state == 'X') {
        return Change::Ended;
    }
    const auto now = readCredentials(processId);
    if (!now || !ids || now->uids != ids->uids || now->gids != ids->gids || now->groups != ids->groups) {
        return Change::CredentialsChanged;
    }
    return Change::None;
}

std::string TargetProcess::describe(Change change) const
{
    const std::string target = "the target process " + std::to_string(processId);
    switch (change) {
    case Change::None:
        break;
    case Change::Ended:
        return target + " has ended";
    case Change::Replaced:
        return target + " has ended and its pid names another process";
    case Change::CredentialsChanged:
        return target + " runs with other user or group ids than when it was looked up";
    }
    return target + " is as it was";
}

TargetProcess::State TargetProcess::currentState() const
{
    const auto status = readProcFile(processPath(processId) + "/status");
    if (status) {
        return parseState(*status);
    }
    const int error = errno;
    State now;
    if (error == ENOENT || error == ESRCH) {
        now.presence = State::Ended;
    } else {
        now.presence = State::Unreadable;
        now.whyUnreadable = std::strerror(error);
    }
    return now;
}

std::vector<std::string> TargetProcess::threads() const { return threadIds(processId); }

std::optional<unsigned long long> TargetProcess::startTimeOf(const std::string& stat)
{
    const auto field = statField(stat, startTimeField);
    if (!field) {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(field->c_str(), &end, 10);
    return end != field->c_str() && *end == '\0' ? std::optional<unsigned long long>(value) : std::nullopt;
}

char TargetProcess::stateOf(const std::string& stat)
{
    const auto field = statField(stat, 3);
    return field && field->size() == 1 ? (*field)[0] : '?';
}

TargetProcess::State TargetProcess::parseState(const std::string& status)
{
    const auto field = [&status](const char* key) { return statusField(status, key).value_or(""); };
    const auto profilerSignalIn = [&status](const char* key) { return profilerSignalInMask(status, key); };
    State now;
    now.state = statusState(status);
    // A thread group whose leader has exited shows the leader as a zombie while other threads
    // still run; the process has ended only when none is left.
    const bool dead = now.state == 'Z' || now.state == 'X';
    if (dead && std::strtol(field("Threads:").c_str(), nullptr, 10) <= 1) {
        now.presence = State::Ended;
    }
    // sigqueue to a process leaves the signal in the shared queue (ShdPnd) until a thread takes it.
    now.pending = profilerSignalIn("SigPnd:").value_or(false) || profilerSignalIn("ShdPnd:").value_or(false);
    now.blocked = profilerSignalIn("SigBlk:").value_or(false);
    const auto ignored = profilerSignalIn("SigIgn:");
    const auto caught = profilerSignalIn("SigCgt:");
    if (ignored.value_or(false)) {
        now.profilerSignal = State::Action::Ignored;
    } else if (caught.value_or(false)) {
        now.profilerSignal = State::Action::Caught;
    } else if (!ignored || !caught) {
        now.profilerSignal = State::Action::Unknown;
    }
    return now;
}

} // namespace YultService::Guard
