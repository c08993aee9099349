#include "link/Metadata.h"

#include "link/Wire.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace YultService::SocketCommunication {

using namespace Wire;

namespace {

// A size is a decimal number in the signed 64-bit range, read like strtoll: leading blanks
// and a sign are allowed and whatever follows the digits is ignored. Negative sizes are refused.
bool readSize(const std::string& value, std::streampos& size)
{
    const char* start = value.c_str();
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE || number < 0) {
        return false;
    }
    size = std::streampos(static_cast<std::streamoff>(number));
    return true;
}

// The name becomes /tmp/<name>: it must name one entry directly inside /tmp.
bool isSafeFileName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

std::pair<bool, TraceFileMetadata> parseTraceFileMetadata(const std::string& message)
{
    const std::pair<bool, TraceFileMetadata> corrupted{false, {}};
    const std::size_t bodyStart = traceMetadataKey.size() + 1;
    if (message.find(traceMetadataKey) == std::string::npos || message.size() < bodyStart) {
        return corrupted;
    }
    const std::string body = message.substr(bodyStart);
    const auto hash = body.find('#');
    if (hash == std::string::npos) {
        return corrupted;
    }
    const std::string nameField = body.substr(0, hash);
    const std::string sizeField = body.substr(hash + 1);
    const auto nameColon = nameField.find(':');
    const auto sizeColon = sizeField.find(':');
    // Both fields must carry their keys: a half-keyed announcement is not trusted by position.
    if (nameColon == std::string::npos || sizeColon == std::string::npos || !beginsWith(nameField, traceFilenameKey) ||
        !beginsWith(sizeField, traceFilesizeKey)) {
        return corrupted;
    }
    TraceFileMetadata metadata;
    metadata.filename = nameField.substr(nameColon + 1);
    if (!isSafeFileName(metadata.filename) || !readSize(sizeField.substr(sizeColon + 1), metadata.filesize)) {
        return corrupted;
    }
    return {true, metadata};
}

std::pair<bool, JavaScriptHeapInfoMetadata> parseJavaScriptHeapInfoMetadata(const std::string& message)
{
    const std::pair<bool, JavaScriptHeapInfoMetadata> corrupted{false, {}};
    const std::size_t bodyStart = heapMetadataKey.size() + 1;
    if (message.find(heapMetadataKey) == std::string::npos || message.size() < bodyStart) {
        return corrupted;
    }
    const std::string body = message.substr(bodyStart);
    const auto colon = body.find(':');
    if (!beginsWith(body, heapSizeKey) || colon == std::string::npos) {
        return corrupted;
    }
    JavaScriptHeapInfoMetadata metadata;
    if (!readSize(body.substr(colon + 1), metadata.size)) {
        return corrupted;
    }
    return {true, metadata};
}

} // namespace YultService::SocketCommunication
