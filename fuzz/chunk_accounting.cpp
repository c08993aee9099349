// Drives whole transfers through accountChunk, one read at a time, as the session does.
// Input: a mode byte, then either
//   free mode:       an 8-byte announced size, then chunks of [2-byte length][bytes]
//   conforming mode: a 2-byte content size N and a 4-byte split seed, then the content: exactly
//                    N content bytes and an optional end marker, cut into reads of 1..1024 bytes.
#include "Require.h"
#include "link/ChunkAccounting.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

using namespace YultService::SocketCommunication;

namespace {

class Input
{
  public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    std::uint64_t take(std::size_t bytes)
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes && at < size; ++i) {
            value = value << 8 | data[at++];
        }
        return value;
    }
    std::string rest(std::size_t most)
    {
        const std::size_t count = std::min(most, size - at);
        std::string bytes(reinterpret_cast<const char*>(data + at), count);
        at += count;
        return bytes;
    }
    bool empty() const { return at >= size; }

  private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
};

struct Transfer
{
    explicit Transfer(std::streamoff announced) : announced(announced) {}

    std::streamoff announced;
    std::streamoff received = 0;
    std::string stored;
    bool complete = false;

    // One read; the agent stops reading once the transfer is complete.
    void read(const std::string& chunk)
    {
        require(!complete, "no read after completion");
        const ChunkStep step = accountChunk(chunk, received, announced);
        require(step.storedBytes <= chunk.size(), "stored bytes lie inside the chunk");
        require(step.received >= received, "the count never goes back");
        require(step.received <= announced, "the count never passes the announced size");
        require(step.complete == (step.received == announced), "complete exactly when the count reaches the size");
        stored.append(chunk, 0, step.storedBytes);
        require(static_cast<std::streamoff>(stored.size()) <= step.received, "nothing stored that was not counted");
        received = step.received;
        complete = step.complete;
    }
};

void freeTransfer(Input& input)
{
    // Sizes come from the parsers, which accept only 0..INT64_MAX.
    const auto raw = input.take(8);
    Transfer transfer(static_cast<std::streamoff>(raw & std::numeric_limits<std::int64_t>::max()));
    if (raw >> 63) {
        transfer.announced %= 4096; // mostly small, so that completion is reachable
    }
    while (!input.empty() && !transfer.complete) {
        transfer.read(input.rest(input.take(2) % 1025));
    }
}

void conformingTransfer(Input& input, bool withMarker)
{
    const auto contentSize = static_cast<std::size_t>(input.take(2) % 8193);
    auto seed = static_cast<std::uint32_t>(input.take(4));
    std::string content = input.rest(contentSize);
    content.resize(contentSize, 'x');
    // The marker is in-band: content that holds it is outside the protocol, so break it up.
    for (auto at = content.find(dataEndMarker); at != std::string::npos; at = content.find(dataEndMarker, at)) {
        content[at] = 'P';
    }
    const std::string stream = content + (withMarker ? std::string(dataEndMarker) : std::string());

    Transfer transfer(static_cast<std::streamoff>(contentSize));
    for (std::size_t at = 0; at < stream.size() && !transfer.complete;) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t length = 1 + (seed >> 16) % ((seed & 1) != 0 ? 1024 : 32);
        transfer.read(stream.substr(at, length));
        at += length;
    }
    require(transfer.complete || stream.empty(), "a conforming stream completes");
    require(transfer.stored == content, "stored bytes are exactly the content");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input input(data, size);
    const auto mode = input.take(1);
    if ((mode & 1) == 0) {
        freeTransfer(input);
    } else {
        conformingTransfer(input, (mode & 2) != 0);
    }
    return 0;
}
