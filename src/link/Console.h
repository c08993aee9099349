#pragma once

// Every line of the agent's that its callers parse, as it stands, in one place beside the wire
// texts: the results on standard output and the errors on standard error. The log adds the
// "YultService: " prefix and the newline; "%s" and "%d" are filled by Log::StringFormat.
//
// Some are misspelt, and stay so: callers match them byte for byte. "Faile to find free port.",
// "...supported with Memory mode/.", "at-least", the help page's `-pid` example (the option
// is -P) and the verbose "ostrel" line are the agent's interface as it shipped; do not mend them.
namespace YultService::Console {

// Results: what the job achieved, on standard output, always.
inline constexpr const char* profilingStarted = "Profiling started";
inline constexpr const char* profilingStopped = "Profiling stopped";
inline constexpr const char* traceDumpedTo = "Profile trace dumped to : "; // then the trace's path
inline constexpr const char* heapInfo = "JavaScript HeapInfo: ";           // then the summary

// The command line, checked before anything else (the rules in their order, then the target).
inline constexpr const char* startAndStop =
    "Invalid options, Cannot start and stop profiling at the same time. Please provide only one option.";
inline constexpr const char* neitherStartNorStop = "Invalid options, Must specify to either start or stop profiling "
                                                   "with CPU mode. Please provide at-least one option.";
inline constexpr const char* memoryWithoutHeap =
    "Invalid option. You must specify at least one option that is supported with Memory mode/.";
inline constexpr const char* cpuAndMemory =
    "Currently YultService can be invoked with either CPU or Memory mode only but not both.";
inline constexpr const char* noMode = "Please specify at-least CPU or Memory mode.";
inline constexpr const char* noSuchProcess = "Invalid option, There is no process with specified pid";
inline constexpr const char* badPid = "Bad PID!\n";                            // bare: written without the log's prefix
inline constexpr const char* unrecognizedArgument = "Unrecognized argument: "; // then the arguments, run together

// The job: the port, the signal (a listener's own failure is asio's "<step>: <reason>").
inline constexpr const char* noFreePort = "Faile to find free port.";
inline constexpr const char* signalFailed = "Sending profiler signal to target failed: "; // then the reason
inline constexpr const char* signalNotHandled = "target does not handle SIGUSR1";

// The link.
inline constexpr const char* deadlineExpired =
    "checkDeadline() - Closing connection since the deadline to complete operation has expired";
inline constexpr const char* acceptFailed = "doAccept - Error accepting connection. error Message: %s";
inline constexpr const char* readFailed = "doRead - error - %s";
inline constexpr const char* writeFailed = "doWrite - error - %s, Attempt %d";
inline constexpr const char* writesExhausted = "doWrite : Exhausted max write retries. Closing connection.";
inline constexpr const char* traceMetadataCorrupted = "CPU Trace file metadata is corrupted";
inline constexpr const char* heapMetadataCorrupted = "JavaScript HeapInfo metadata is corrupted";
inline constexpr const char* traceMetadataMissing = "readCPUTraceFileData: Missing tracefile metadata";
inline constexpr const char* heapMetadataMissing = "readCPUTraceFileData: Missing JavaScript HeapInfo metadata";
inline constexpr const char* traceFailed = "Error receiving and processing CPU trace file";
inline constexpr const char* traceFilePath = "Trace file path: %s";
inline constexpr const char* heapFailed = "Error receiving and processing JavaScript HeapInfo data";

} // namespace YultService::Console
