#pragma once

#include <optional>
#include <string>
#include <vector>

namespace YultService::Guard {

/// A small /proc file, whole; nullopt when it cannot be opened or read (errno tells why).
std::optional<std::string> readProcFile(const std::string& path);

/// "/proc/<pid>".
std::string processPath(int pid);

/// The ids of the threads of process `pid`, as /proc/<pid>/task lists them; empty when it cannot be listed.
std::vector<std::string> threadIds(int pid);

/// What follows the key on the `key` line ("State:", "SigBlk:") of a /proc status text, up to
/// the end of that line; nullopt when there is no such line.
std::optional<std::string> statusField(const std::string& status, const std::string& key);

/// The letter of the "State:" line of a /proc status text ('S', 'Z', 't', ...); '?' when there is none.
char statusState(const std::string& status);

/// The decimal numbers of the `key` line of a /proc status text; empty when there is none.
std::vector<unsigned> statusNumbers(const std::string& status, const std::string& key);

/// SIGUSR1's bit in the mask line `key` ("SigCgt:", "SigIgn:", "SigBlk:") of a /proc status
/// text; nullopt when there is no such line.
std::optional<bool> profilerSignalInMask(const std::string& status, const std::string& key);

} // namespace YultService::Guard
