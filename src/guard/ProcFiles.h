#pragma once

#include <optional>
#include <string>
#include <vector>

namespace YultService::Guard {

/// A small /proc file, whole; nullopt when it cannot be opened or read (errno tells why).
std::optional<std::string> readProcFile(const std::string& path);

/// "/proc/<pid>".
std::string processPath(int pid);

/// The numbers of the `key` line ("Uid:", "Gid:") of a process's status: real, effective, saved,
/// file system; empty when the status cannot be read.
std::vector<unsigned> processIds(int pid, const std::string& key);

} // namespace YultService::Guard
