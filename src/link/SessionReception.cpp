#include "link/ChunkAccounting.h"
#include "link/Session.h"
#include "utils/Helper.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace YultService::SocketCommunication {

namespace {

// Buffers whole reads into large writes: the content arrives 1 KiB at a time.
class FileBuffer : public std::streambuf
{
  public:
    explicit FileBuffer(int fd) : fd(fd) { setp(area, area + sizeof(area)); }
    ~FileBuffer() override { close(); }
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;

    /// Writes what is buffered and closes the file; false when anything failed.
    bool close()
    {
        if (fd < 0) {
            return healthy;
        }
        healthy = sync() == 0 && healthy;
        healthy = ::close(fd) == 0 && healthy;
        fd = -1;
        return healthy;
    }

  protected:
    int_type overflow(int_type c) override
    {
        if (sync() != 0) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    int sync() override
    {
        for (const char* next = pbase(); next < pptr();) {
            const ssize_t written = ::write(fd, next, static_cast<std::size_t>(pptr() - next));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                healthy = false;
                return -1;
            }
            next += written;
        }
        setp(area, area + sizeof(area));
        return 0;
    }

  private:
    int fd;
    bool healthy = true;
    char area[1 << 16];
};

// The trace file. The name comes from the network, so whatever already stands at the path
// under /tmp is never followed or waited on: a symbolic link fails the open (O_NOFOLLOW) and
// a FIFO or device is refused, leaving the stream failed so that nothing is written.
class TraceFile : public std::ostream
{
  public:
    explicit TraceFile(const std::string& path) : std::ostream(nullptr)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0) {
                ::close(fd);
            }
            setstate(std::ios::badbit);
            return;
        }
        buffer = std::make_unique<FileBuffer>(fd);
        rdbuf(buffer.get());
    }

    void close()
    {
        if (buffer && !buffer->close()) {
            setstate(std::ios::failbit);
        }
    }

  private:
    std::unique_ptr<FileBuffer> buffer;
};

} // namespace

void Session::readCPUTraceFileData(const std::shared_ptr<TraceFileMetadata>& metadata, const ReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error("readCPUTraceFileData: Missing tracefile metadata");
        return;
    }
    const std::string path = "/tmp/" + metadata->filename;
    auto received = std::make_shared<std::streampos>(0);
    auto file = std::make_shared<TraceFile>(path);
    CompletionAction done = [metadata, file, callback, path](std::streamoff count) {
        file->close();
        // A stream that failed (not created, a write or the close failed) did not store what
        // was counted: hand on a count that no file has, so the receipt check fails.
        if (callback) {
            callback(path, file->good() ? count : std::streamoff(-1));
        }
    };
    readFileChunksAsync(metadata, file, received, done);
}

void Session::readJavaScriptHeapInfoData(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                         const ReceiptCallback& callback)
{
    if (!metadata) {
        Logger::Log::error("readCPUTraceFileData: Missing JavaScript HeapInfo metadata");
        return;
    }
    auto received = std::make_shared<std::streampos>(0);
    auto summary = std::make_shared<std::stringstream>();
    CompletionAction done = [metadata, summary, callback](std::streamoff count) {
        if (callback) {
            callback(summary->str(), count);
        }
    };
    readFileChunksAsync(metadata, summary, received, done);
}

void Session::readFileChunksAsync(const std::shared_ptr<TraceFileMetadata>& metadata,
                                  const std::shared_ptr<std::ostream>& file,
                                  const std::shared_ptr<std::streampos>& received, const CompletionAction& done)
{
    readChunksInto(metadata->filesize, file, received, done);
}

void Session::readFileChunksAsync(const std::shared_ptr<JavaScriptHeapInfoMetadata>& metadata,
                                  const std::shared_ptr<std::stringstream>& summary,
                                  const std::shared_ptr<std::streampos>& received, const CompletionAction& done)
{
    readChunksInto(metadata->size, summary, received, done);
}

void Session::readChunksInto(std::streamoff announced, const std::shared_ptr<std::ostream>& sink,
                             const std::shared_ptr<std::streampos>& received, const CompletionAction& done)
{
    startRead(true, [this, announced, sink, received, done](const std::string& chunk, unsigned int) {
        const ChunkStep step = accountChunk(chunk, *received, announced);
        sink->write(chunk.data(), static_cast<std::streamsize>(step.storedBytes));
        *received = step.received;
        if (logger->isVerbose()) { // formatting every 1 KiB read costs more than the read itself
            logger->info(Logger::Log::StringFormat("Data received so far: %lld Total file size: %lld",
                                                   static_cast<long long>(step.received),
                                                   static_cast<long long>(announced)));
        }
        if (!step.complete) {
            readChunksInto(announced, sink, received, done);
        } else if (done) {
            done(step.received);
        }
    });
}

void Session::checkTraceReceipt(const std::shared_ptr<TraceFileMetadata>& metadata, const std::string& path,
                                std::streamoff count)
{
    const bool stored = Utils::Helper::fileExists(path) && Utils::Helper::filesize(path) == std::streampos(count) &&
                        count == std::streamoff(metadata->filesize);
    if (!stored) {
        Logger::Log::error("Error receiving and processing CPU trace file");
        Logger::Log::error(Logger::Log::StringFormat("Trace file path: %s", path.c_str()));
        endRun();
    }
    doWrite("profiler-trace-file-received", nullptr);
    Logger::Log::result(Logger::Log::StringFormat("%s%s", "Profile trace dumped to : ", path.c_str()));
    endRun();
}

void Session::checkHeapReceipt(const std::string& text)
{
    if (text.empty()) {
        Logger::Log::error("Error receiving and processing JavaScript HeapInfo data");
        endRun();
    }
    doWrite("js-heapinfo-received", nullptr);
    // Printed up to the first zero byte. Built with one allocation: the summary may be large.
    const std::string label = "JavaScript HeapInfo: ";
    const std::size_t length = strnlen(text.data(), text.size());
    std::string line;
    line.reserve(label.size() + length);
    line.append(label).append(text.data(), length);
    Logger::Log::result(line);
    endRun();
}

} // namespace YultService::SocketCommunication
