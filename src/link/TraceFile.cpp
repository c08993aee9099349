#include "link/TraceFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace YultService::SocketCommunication {

namespace {

constexpr std::size_t bufferSize = std::size_t{1} << 16;

// A new file is created and given the trace's owner. An existing one is opened without
// truncating it and is replaced only when the rule lets it (an earlier trace of that owner).
// Anything else stays as it is: a symbolic link (O_NOFOLLOW), a FIFO (O_NONBLOCK keeps one
// without a reader from holding the event loop), a device or directory, a hard link to some
// other file, another user's file.
int openReplaceable(const std::string& path, const std::optional<Guard::TraceFileRule::Owner>& owner)
{
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        if (owner && owner->uid != geteuid() && fchown(fd, owner->uid, owner->gid) != 0) {
            // Kept as ours: the trace is still stored, only its next run cannot replace it.
        }
        return fd;
    }
    if (errno != EEXIST) {
        return fd;
    }
    fd = ::open(path.c_str(), flags);
    struct stat info = {};
    if (fd >= 0 && fstat(fd, &info) == 0 && Guard::TraceFileRule::mayReplace(info, owner) && ftruncate(fd, 0) == 0) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

} // namespace

TraceFile::TraceFile(const std::string& path) : TraceFile(path, Guard::TraceFileRule::Owner{geteuid(), getegid()}) {}

TraceFile::TraceFile(const std::string& path, const std::optional<Guard::TraceFileRule::Owner>& owner)
    : fd(openReplaceable(path, owner))
{
    healthy = fd >= 0;
    if (healthy) {
        buffer = std::make_unique<char[]>(bufferSize);
    }
}

TraceFile::~TraceFile() { close(); }

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
    for (std::size_t next = 0; healthy && next < buffered;) {
        const ssize_t written = ::write(fd, buffer.get() + next, buffered - next);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        healthy = written > 0;
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
    healthy = flushed && closed;
    fd = -1;
    return healthy;
}

} // namespace YultService::SocketCommunication
