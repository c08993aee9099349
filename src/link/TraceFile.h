#pragma once

#include "guard/TraceFileRule.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace YultService::SocketCommunication {

/// The file a received trace is stored in, under a name that came from the network: whatever
/// already stands at the path is never followed, opened for writing or waited on unless the rule
/// lets it be replaced, and writes are buffered into large ones because the content arrives a
/// kilobyte at a time.
class TraceFile
{
  public:
    using Owner = Guard::TraceFileRule::Owner;

    /// Opens the path for writing as the owner: creates the file, or replaces what the rule lets
    /// it replace (an earlier trace of that owner); anything else at the path is refused and left
    /// as it is. Without an owner nothing is opened and `refusal` says why.
    TraceFile(const std::string& path, const std::optional<Owner>& owner, const std::string& refusal = "");
    /// The same with this process's own effective user as the owner.
    explicit TraceFile(const std::string& path);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    /// Whether the path was opened.
    bool isOpen() const { return fd >= 0; }
    /// Why it was not opened, or why the last write or the close failed; empty when all went well.
    const std::string& trouble() const { return why; }
    /// Appends the bytes; a failure is remembered and nothing more is written.
    void write(const char* data, std::size_t size);
    /// Writes what is buffered and closes; true when every byte written reached the file.
    bool close();

  private:
    int open(const std::string& path);
    int openExisting(const std::string& path);
    bool flush();

    std::optional<Owner> owner;
    int fd = -1;
    bool healthy = false;
    std::string why;
    std::size_t buffered = 0;
    std::unique_ptr<char[]> buffer;
};

} // namespace YultService::SocketCommunication
