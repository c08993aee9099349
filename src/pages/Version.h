#pragma once

namespace YultService::Version {

/// "version=2.1.0.0" in the program file's .version section, for tools that read the binary.
extern char version[16];

/// The version page, printed for -v / --version.
class Version
{
  public:
    /// Writes "2.1.0.0" and a newline to standard output, then flushes.
    static void display();
};

} // namespace YultService::Version
