#include "link/ChunkAccounting.h"

#include <algorithm>

namespace YultService::SocketCommunication {

namespace {

// The last occurrence, found forwards: find() skips to candidates with memchr, while rfind
// compares the whole marker at every position of a 1 KiB chunk.
std::size_t lastMarker(std::string_view chunk)
{
    std::size_t last = std::string_view::npos;
    for (auto at = chunk.find(dataEndMarker); at != std::string_view::npos; at = chunk.find(dataEndMarker, at + 1)) {
        last = at;
    }
    return last;
}

} // namespace

ChunkStep accountChunk(std::string_view chunk, std::streamoff received, std::streamoff announced)
{
    const std::streamoff due = std::max<std::streamoff>(announced - received, 0);
    const auto length = static_cast<std::streamoff>(chunk.size());
    if (length > due) {
        return {static_cast<std::size_t>(due), received + due, true};
    }
    const auto marker = lastMarker(chunk);
    if (marker == std::string_view::npos) {
        received += length;
        return {chunk.size(), received, received == announced};
    }
    received += length - static_cast<std::streamoff>(dataEndMarker.size());
    return {marker, received, received == announced};
}

} // namespace YultService::SocketCommunication
