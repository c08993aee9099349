#include "link/ChunkAccounting.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService::SocketCommunication {
namespace {

TEST(ChunkAccounting, StepPerRead)
{
    const std::string marker(dataEndMarker);
    const std::streamoff fourGiB = std::streamoff{1} << 32;
    const struct
    {
        const char* name;
        std::string chunk;
        std::streamoff received;
        std::streamoff announced;
        ChunkStep expected;
    } cases[] = {
        {"PlainContentOnTheWay", std::string(1024, 'a'), 0, 2500, {1024, 1024, false}},
        {"LastContentWithMarker", std::string(452, 'a') + marker, 2048, 2500, {452, 2500, true}},
        {"ContentWithoutMarkerCompletes", std::string(10, 'a'), 90, 100, {10, 100, true}},
        {"MarkerStraddlingTwoReads", std::string(1010, 'a') + marker.substr(0, 14), 1024, 2034, {1010, 2034, true}},
        {"MarkerHeadWhileContentDueIsContent", "abc" + marker.substr(0, 11), 0, 100, {14, 14, false}},
        {"MarkerAloneForEmptyTrace", marker, 0, 0, {0, 0, true}},
        {"RestOfMarkerAfterCompletionIgnored", "data-end", 5, 5, {0, 5, true}},
        {"BytesAfterMarkerStayCounted", "ab" + marker + "cd", 0, 100, {2, 4, false}},
        {"OnlyLastMarkerRecognised", marker + "x" + marker, 0, 100, {24, 24, false}},
        {"ZeroBytesAreContent", std::string("a\0b", 3), 0, 3, {3, 3, true}},
        {"BeyondFourGiB", std::string(1024, 'a'), fourGiB - 24, fourGiB, {24, fourGiB, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChunkStep step = accountChunk(c.chunk, c.received, c.announced);
        EXPECT_EQ(step.storedBytes, c.expected.storedBytes);
        EXPECT_EQ(step.received, c.expected.received);
        EXPECT_EQ(step.complete, c.expected.complete);
    }
}

} // namespace
} // namespace YultService::SocketCommunication
