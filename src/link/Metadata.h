#pragma once

#include <ios>
#include <string>
#include <utility>

namespace YultService::SocketCommunication {

/// What a trace file announcement announces.
struct TraceFileMetadata
{
    std::string filename;
    std::streampos filesize = 0;
};

/// What a heap summary announcement announces.
struct JavaScriptHeapInfoMetadata
{
    std::streampos size = 0;
};

/// True when `text` starts with `key`.
inline bool beginsWith(const std::string& text, const std::string& key)
{
    return text.compare(0, key.size(), key) == 0;
}

/// Parses a lower-cased trace file announcement; false when it is corrupted. An accepted name
/// names one entry directly inside /tmp, and an accepted size is not negative.
std::pair<bool, TraceFileMetadata> parseTraceFileMetadata(const std::string& message);
/// Parses a lower-cased heap summary announcement; false when it is corrupted.
std::pair<bool, JavaScriptHeapInfoMetadata> parseJavaScriptHeapInfoMetadata(const std::string& message);

} // namespace YultService::SocketCommunication
