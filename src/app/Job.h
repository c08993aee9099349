#pragma once

#include "guard/TargetProcess.h"
#include "link/LinkJob.h"
#include "link/Server.h"
#include "options/InputParser.h"

#include <asio.hpp>

#include <functional>
#include <memory>
#include <optional>

namespace YultService {

// The job in its steps: processCommand picks a page or the profiling job; the job is built once
// from the options (linkJobOf), starts the listener (startServer), queues the signal to the target
// (enqueueProfilerSignalJob) and runs the event loop, where the server and then the session take
// over until the session's ending ends the process.

/// Prints the help or version page, or runs the profiling job.
void processCommand(const std::shared_ptr<InputOptions::InputParser>& options);
/// Listens, signals the target and runs the event loop until the run ends.
void processProfilerJob(const InputOptions::InputParser& options);
/// The job the link carries out for options that the option rules accepted.
SocketCommunication::LinkJob linkJobOf(const InputOptions::InputParser& options);
/// The agent's ending of a session's run: the deadline backstop stands down, then the process exits.
[[noreturn]] void endProcess(int status);
/// Finds a port that can be bound, from the given one on, or -1 (as Utils::Helper::getFreePort does).
using PortProbe = std::function<int(int from)>;
/// Starts the server on the job's port, 9091 or with -D the first free one from 49152 on, and
/// returns that port. A dynamic port that another process takes between the probe and the
/// listener moves the search on; past the last port the job fails (std::runtime_error).
unsigned short startServer(asio::io_context& ioContext, std::optional<SocketCommunication::Server>& server,
                           const SocketCommunication::LinkJob& job, const Guard::TargetProcess& target,
                           const PortProbe& probe, const SocketCommunication::Ending& ending);
/// Queues the job that sends the target SIGUSR1 carrying the port; sends nothing yet.
/// `job` and `target` must outlive the event loop's run.
void enqueueProfilerSignalJob(asio::io_context& ioContext, unsigned short port, const SocketCommunication::LinkJob& job,
                              const Guard::TargetProcess& target);

} // namespace YultService
