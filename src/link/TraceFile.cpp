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
} // namespace

TraceFile::TraceFile(const std::string& path)
{
    // O_NOFOLLOW fails on a symbolic link; O_NONBLOCK keeps a FIFO without a reader from
    // holding the event loop, and the type check then refuses it like any other non-file.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        fd = -1;
    }
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
