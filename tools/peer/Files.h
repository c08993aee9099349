#pragma once

#include <string>

namespace YultPeer {

/// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);
/// Writes a file, creating its directories; `executable` makes it a script one can run.
void writeFile(const std::string& path, const std::string& content, bool executable = false);

/// A scratch directory under /tmp, removed with its contents.
struct TempDir
{
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path = "/tmp/yult-peer-XXXXXX";
};

} // namespace YultPeer
