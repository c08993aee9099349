#pragma once

#include <chrono>
#include <string>

namespace YultService::SocketCommunication {

/// The deadlines' guarantee beyond the event loop: the run ends by its deadline, with the
/// deadline's line and status, even while the loop's one thread is stuck in a write to a
/// standard output that nobody reads. Does nothing until installed, so that the pieces that
/// arm it can run inside other programs (the tests) unharmed.
class DeadlineBackstop
{
  public:
    using Clock = std::chrono::steady_clock;

    /// Creates the process's one timer, which sends SIGALRM; the agent calls it once, first, after
    /// making onAlarm SIGALRM's handler.
    static void install();
    /// SIGALRM's handler: past the deadline in force, writes its line if it can and ends the process.
    static void onAlarm(int);
    /// The deadline in force: past it, the run ends with this log message on standard error and this status.
    static void arm(Clock::time_point expiry, const std::string& message, int status);
    /// Moves the deadline in force to `expiry`; cheap enough for every read.
    static void postpone(Clock::time_point expiry);
    /// The run is ending with `status` and has written its last line: past the deadline, only end it.
    static void ending(int status);
};

} // namespace YultService::SocketCommunication
