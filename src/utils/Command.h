#pragma once

#include <string>

namespace YultService::CommandLineOption {

/// What a shell command printed and how it ended.
struct CommandResult
{
    std::string output; ///< everything the command wrote to its standard output
    int exitStatus = 0; ///< the command's exit status (0 when it was ended by a signal)
};

/// Runs shell commands.
class Command
{
  public:
    /// Runs the command through the shell and collects its standard output;
    /// throws std::runtime_error("popen() failed!") when it cannot be started.
    static CommandResult execute(const std::string& command);
};

} // namespace YultService::CommandLineOption
