// Drives whole transfers through accountChunk, one read at a time, as the session does: free
// reads against any announced size, or a conforming stream (exactly N content bytes, then an
// optional end marker) cut at arbitrary points, which must store exactly the content.
#undef NDEBUG // a broken invariant aborts: that is the finding
#include "link/ChunkAccounting.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cassert>
#include <cstdint>
#include <string>

using namespace YultService::SocketCommunication;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool conforming = input.ConsumeBool();
    const bool withMarker = input.ConsumeBool();
    // Sizes come from the parsers, which accept 0..INT64_MAX; mostly small, so that completion is reachable.
    auto announced = input.ConsumeIntegralInRange<std::streamoff>(0, input.ConsumeBool() ? 8192 : INT64_MAX);
    std::string content;
    if (conforming) {
        content = input.ConsumeBytesAsString(static_cast<std::size_t>(announced % 8193));
        content.resize(static_cast<std::size_t>(announced % 8193), 'x');
        announced = static_cast<std::streamoff>(content.size());
        // The marker is in-band: content that holds it is outside the protocol, so break it up.
        for (auto at = content.find(dataEndMarker); at != std::string::npos; at = content.find(dataEndMarker, at)) {
            content[at] = 'P';
        }
    }
    const std::string stream = content + std::string(withMarker ? dataEndMarker : "");
    std::streamoff received = 0;
    std::string stored;
    bool complete = false;
    for (std::size_t at = 0; !complete && (conforming ? at < stream.size() : input.remaining_bytes() > 0);) {
        const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 1024);
        const std::string chunk = conforming ? stream.substr(at, length) : input.ConsumeBytesAsString(length);
        at += length;
        const ChunkStep step = accountChunk(chunk, received, announced);
        assert(step.storedBytes <= chunk.size());
        assert(step.received >= received && step.received <= announced);
        assert(step.complete == (step.received == announced));
        stored.append(chunk, 0, step.storedBytes);
        assert(static_cast<std::streamoff>(stored.size()) <= step.received);
        received = step.received;
        complete = step.complete;
    }
    assert(!conforming || complete || stream.empty());
    assert(!conforming || stored == content);
    return 0;
}
