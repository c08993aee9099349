#pragma once

#include <string>

// Every text of the link, as it stands on the wire, in one place: what the agent sends and what
// it recognises (messages arrive lower-cased before they are compared).
namespace YultService::SocketCommunication::Wire {

// Handshake: the application speaks first; both say hello, then the application confirms.
inline const std::string hello = "hello";
inline const std::string handshakeSuccessAck = "handshake-success-ack";

// The agent's commands.
inline const std::string startProfiling = "start-profiling";
inline const std::string stopProfiling = "stop-profiling";
inline const std::string getJsHeapInfo = "get-js-heapinfo";

// The application's answers to a command.
inline const std::string profilingStarted = "profiling-started";
inline const std::string profilingInProgress = "profiling-in-progress";
inline const std::string profilingStopped = "profiling-stopped";
inline const std::string profilingNotInProgress = "profiling-not-in-progress";

// Announcements: a key opening the message, then keyed fields.
inline const std::string traceMetadataKey = "profiler-trace-metadata";
inline const std::string traceFilenameKey = "trace-filename";
inline const std::string traceFilesizeKey = "trace-filesize";
inline const std::string heapMetadataKey = "js-heapinfo-metadata";
inline const std::string heapSizeKey = "js-heapinfo-size";

// Acknowledgements of an announcement, and of the data that followed it.
inline const std::string traceMetadataAck = "ack-profiler-trace-metadata";
inline const std::string heapMetadataAck = "js-heapinfo-metadata-ack";
inline const std::string traceFileReceived = "profiler-trace-file-received";
inline const std::string heapInfoReceived = "js-heapinfo-received";

// What an application may send after the content of a transfer. The agent never looks for it:
// the announced size alone ends the content, and what follows it is dropped.
inline const std::string dataEndMarker = "profiler-trace-data-end";

} // namespace YultService::SocketCommunication::Wire
