#include "link/TraceFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace YultService::SocketCommunication {

namespace {

constexpr std::size_t bufferSize = std::size_t{1} << 16;

std::string failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The owner's file-system identity, taken by the agent's one thread for as long as it touches the
// trace: the kernel then checks every open, creation and write as it would the application's own,
// and a new file is the owner's from the start. Only root can take another user's identity; an
// agent that is not root writes as itself, which is its owner anyway.
class FileIdentity
{
  public:
    explicit FileIdentity(const TraceFile::Owner& owner)
    {
        if (geteuid() != 0 || (owner.uid == 0 && owner.gid == 0)) {
            return;
        }
        const int count = getgroups(0, nullptr);
        savedGroups.resize(static_cast<std::size_t>(std::max(count, 0)));
        if (count < 0 || getgroups(count, savedGroups.data()) != count ||
            setgroups(owner.groups.size(), owner.groups.data()) != 0) {
            return;
        }
        changed = true;
        // Neither call reports a failure: a file made without the identity is caught by its owner.
        setfsgid(owner.gid);
        setfsuid(owner.uid);
    }
    ~FileIdentity()
    {
        if (changed) {
            setfsuid(geteuid());
            setfsgid(getegid());
            setgroups(savedGroups.size(), savedGroups.data());
        }
    }
    FileIdentity(const FileIdentity&) = delete;
    FileIdentity& operator=(const FileIdentity&) = delete;

  private:
    bool changed = false;
    std::vector<gid_t> savedGroups;
};

} // namespace

TraceFile::TraceFile(const std::string& path) : TraceFile(path, Owner{geteuid(), getegid(), {}}) {}

TraceFile::TraceFile(const std::string& path, const std::optional<Owner>& owner, const std::string& refusal)
    : owner(owner), why(refusal)
{
    if (!owner) {
        why = refusal.empty() ? "no owner is known" : refusal;
        return;
    }
    const FileIdentity identity(*owner);
    fd = open(path);
    healthy = fd >= 0;
    if (healthy) {
        buffer = std::make_unique<char[]>(bufferSize);
    }
}

TraceFile::~TraceFile() { close(); }

// A new file is made, as the owner's, where nothing stands. Anything already at the path is
// looked at before it is opened for writing (see openExisting). O_NONBLOCK keeps a FIFO from
// holding the event loop, O_NOCTTY keeps a terminal from becoming ours.
int TraceFile::open(const std::string& path)
{
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int created = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
    if (created < 0) {
        if (errno == EEXIST) {
            return openExisting(path);
        }
        why = failed("it cannot be created");
        return -1;
    }
    struct stat made = {};
    if (fstat(created, &made) == 0 && made.st_uid == owner->uid) {
        return created;
    }
    // Made as ours because the owner's identity could not be taken: given away, or not kept, for
    // a root-owned file in sticky /tmp is one the application could never remove.
    if (fchown(created, owner->uid, owner->gid) != 0) {
        why = failed("its owner could not be set");
        unlink(path.c_str());
        ::close(created);
        return -1;
    }
    return created;
}

// Opened first as a mere reference (O_PATH), which fires no lease, no watch for writers and no
// device; only a regular file with one link of the owner is then opened for writing, through the
// reference itself so that nothing put at the path meanwhile is reached, and only if it is still
// the same file.
int TraceFile::openExisting(const std::string& path)
{
    const int reference = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat found = {};
    if (reference < 0 || fstat(reference, &found) != 0) {
        why = failed("it cannot be looked at");
        if (reference >= 0) {
            ::close(reference);
        }
        return -1;
    }
    if (Guard::TraceFileRule::mayReplace(found, *owner, why)) {
        const std::string handle = "/proc/self/fd/" + std::to_string(reference);
        const int writable = ::open(handle.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat opened = {};
        if (writable < 0 || fstat(writable, &opened) != 0) {
            why = failed("it cannot be opened for writing");
        } else if (opened.st_dev != found.st_dev || opened.st_ino != found.st_ino) {
            why = "it was replaced while it was looked at";
        } else if (ftruncate(writable, 0) != 0) {
            why = failed("it cannot be emptied");
        } else {
            ::close(reference);
            return writable;
        }
        if (writable >= 0) {
            ::close(writable);
        }
    }
    ::close(reference);
    return -1;
}

void TraceFile::write(const char* data, std::size_t size)
{
    while (healthy && size > 0) {
        if (buffered == bufferSize && !flush()) {
            return;
        }
        const std::size_t part = std::min(size, bufferSize - buffered);
        std::memcpy(buffer.get() + buffered, data, part);
        buffered += part;
        data += part;
        size -= part;
    }
}

bool TraceFile::flush()
{
    if (buffered == 0 || !healthy) {
        buffered = 0;
        return healthy;
    }
    const FileIdentity identity(*owner);
    for (std::size_t next = 0; healthy && next < buffered;) {
        const ssize_t written = ::write(fd, buffer.get() + next, buffered - next);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        healthy = written > 0;
        if (!healthy) {
            why = written < 0 ? failed("a write failed") : "a write stored nothing";
        }
        next += healthy ? static_cast<std::size_t>(written) : 0;
    }
    buffered = 0;
    return healthy;
}

bool TraceFile::close()
{
    if (fd < 0) {
        return healthy;
    }
    const bool flushed = flush();
    const bool closed = ::close(fd) == 0;
    if (flushed && !closed) {
        why = failed("closing it failed");
    }
    healthy = flushed && closed;
    fd = -1;
    return healthy;
}

} // namespace YultService::SocketCommunication
