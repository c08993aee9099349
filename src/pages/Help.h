#pragma once

namespace YultService::DisplayHelp {

/// The help page, printed for -h / --help.
class Help
{
  public:
    /// Writes the whole page to standard output in one insertion.
    static void display();
};

} // namespace YultService::DisplayHelp
