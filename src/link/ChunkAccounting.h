#pragma once

#include <cstddef>
#include <ios>
#include <string_view>

namespace YultService::SocketCommunication {

/// What an application may send after the content of a transfer.
inline constexpr std::string_view dataEndMarker = "profiler-trace-data-end";

/// The effect of one read on a transfer.
struct ChunkStep
{
    std::size_t storedBytes;  ///< bytes to keep, counted from the start of the chunk
    std::streamoff received;  ///< the content count after this read
    bool complete;            ///< the count has reached the announced size
};

/// Accounts one read of `chunk` against a transfer that has `received` of `announced` bytes.
/// A read bringing more than is still due keeps only what is due and completes the transfer,
/// so the end marker may straddle reads; otherwise the bytes are counted and the last end
/// marker in the chunk, with whatever follows it, is not kept and the marker is not counted.
ChunkStep accountChunk(std::string_view chunk, std::streamoff received, std::streamoff announced);

} // namespace YultService::SocketCommunication
