#include "link/ChunkAccounting.h"

#include <algorithm>

namespace YultService::SocketCommunication {

ChunkStep accountChunk(std::string_view chunk, std::streamoff received, std::streamoff announced)
{
    const std::streamoff due = std::max<std::streamoff>(announced - received, 0);
    const auto length = static_cast<std::streamoff>(chunk.size());
    if (length > due) {
        return {static_cast<std::size_t>(due), received + due, true};
    }
    const auto marker = chunk.rfind(dataEndMarker);
    if (marker == std::string_view::npos) {
        received += length;
        return {chunk.size(), received, received == announced};
    }
    received += length - static_cast<std::streamoff>(dataEndMarker.size());
    return {marker, received, received == announced};
}

} // namespace YultService::SocketCommunication
