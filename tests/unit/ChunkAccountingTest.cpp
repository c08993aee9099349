#include "link/ChunkAccounting.h"

#include <gtest/gtest.h>

#include <string>

namespace YultService::SocketCommunication {
namespace {

const std::string marker(dataEndMarker);

struct ChunkCase
{
    const char* name;
    std::string chunk;
    std::streamoff received;
    std::streamoff announced;
    ChunkStep expected;
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class ChunkAccounting : public ::testing::TestWithParam<ChunkCase>
{
};

TEST_P(ChunkAccounting, Step)
{
    const auto& c = GetParam();
    const ChunkStep step = accountChunk(c.chunk, c.received, c.announced);
    EXPECT_EQ(step.storedBytes, c.expected.storedBytes);
    EXPECT_EQ(step.received, c.expected.received);
    EXPECT_EQ(step.complete, c.expected.complete);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChunkAccounting,
    ::testing::Values(
        ChunkCase{"PlainContentOnTheWay", std::string(1024, 'a'), 0, 2500, {1024, 1024, false}},
        ChunkCase{"LastContentWithMarker", std::string(452, 'a') + marker, 2048, 2500, {452, 2500, true}},
        ChunkCase{"ContentWithoutMarkerCompletes", std::string(10, 'a'), 90, 100, {10, 100, true}},
        ChunkCase{"MarkerStraddlingTwoReads", std::string(1010, 'a') + marker.substr(0, 14),
                  1024, 2034, {1010, 2034, true}},
        ChunkCase{"MarkerHeadWhileContentDueIsContent", "abc" + marker.substr(0, 11), 0, 100, {14, 14, false}},
        ChunkCase{"MarkerAloneForEmptyTrace", marker, 0, 0, {0, 0, true}},
        ChunkCase{"RestOfMarkerAfterCompletionIgnored", "data-end", 5, 5, {0, 5, true}},
        ChunkCase{"BytesAfterMarkerStayCounted", "ab" + marker + "cd", 0, 100, {2, 4, false}},
        ChunkCase{"OnlyLastMarkerRecognised", marker + "x" + marker, 0, 100, {24, 24, false}},
        ChunkCase{"ZeroBytesAreContent", std::string("a\0b", 3), 0, 3, {3, 3, true}},
        ChunkCase{"BeyondFourGiB", std::string(1024, 'a'), (std::streamoff{1} << 32) - 24, std::streamoff{1} << 32,
                  {24, std::streamoff{1} << 32, true}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace YultService::SocketCommunication
