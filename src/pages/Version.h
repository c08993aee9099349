#pragma once

namespace YultService::Version {

/// "version=" and the version in the program file's .version section, for tools that read the binary.
extern char version[];

/// The version page, printed for -v / --version.
class Version
{
  public:
    /// Writes the version (the project's, such as 2.1.0.0) and a newline to standard output, then flushes.
    static void display();
};

} // namespace YultService::Version
