#include "link/Session.h"

#include <gtest/gtest.h>

namespace {

using YultService::SocketCommunication::Session;

std::string trace(const std::string& name, const std::string& size)
{
    return "profiler-trace-metadata trace-filename:" + name + "#trace-filesize:" + size;
}

struct Announcement
{
    std::string name;
    std::string message; // lower-cased already, as the protocol hands it over
    bool valid;
    std::string filename; // trace announcements only
    long long size;
};
void PrintTo(const Announcement& a, std::ostream* os) { *os << a.name; }

const Announcement announcements[] = {
    {"TraceBlankSeparator", trace("cpu.trace", "42"), true, "cpu.trace", 42},
    {"TraceHashSeparator", "profiler-trace-metadata#trace-filename:cpu.trace#trace-filesize:42", true, "cpu.trace", 42},
    {"TraceNameWithColonAndBlank", trace("a: b.trace", "42"), true, "a: b.trace", 42},
    {"TraceSizeBlanksTextAndHashes", trace("a", "  42 bytes#7#x"), true, "a", 42},
    {"TraceSizeLargest", trace("a", "9223372036854775807"), true, "a", 9223372036854775807},
    {"TraceKeyOnly", "profiler-trace-metadata", false, "", 0},
    {"TraceWithoutHash", "profiler-trace-metadata trace-filename:a", false, "", 0},
    {"TraceNameFieldWithoutColon", "profiler-trace-metadata trace-filename#trace-filesize:1", false, "", 0},
    {"TraceSizeFieldWithoutColon", "profiler-trace-metadata trace-filename:a#trace-filesize", false, "", 0},
    {"TraceOnlyNameKeyed", "profiler-trace-metadata trace-filename:a#size:1", false, "", 0},
    {"TraceOnlySizeKeyed", "profiler-trace-metadata name:a#trace-filesize:1", false, "", 0},
    {"TraceNeitherKeyed", "profiler-trace-metadata name:a#size:1", false, "", 0},
    {"TraceNameEmpty", trace("", "1"), false, "", 0},
    {"TraceNameDotDot", trace("..", "1"), false, "", 0},
    {"TraceNameWithSlash", trace("a/b", "1"), false, "", 0},
    {"TraceNameWithControlByte", trace("a\x1f", "1"), false, "", 0},
    {"TraceNameWithDelete", trace("a\x7f", "1"), false, "", 0},
    {"TraceSizeNegative", trace("a", "-1"), false, "", 0},
    {"TraceSizeWithoutDigits", trace("a", "ten"), false, "", 0},
    {"TraceSizeBeyond64Bits", trace("a", "9223372036854775808"), false, "", 0},
    {"HeapBlankSeparator", "js-heapinfo-metadata js-heapinfo-size:10", true, "", 10},
    {"HeapSizeZero", "js-heapinfo-metadata js-heapinfo-size:0", true, "", 0},
    {"HeapSizeBlanksAndText", "js-heapinfo-metadata js-heapinfo-size: 12 bytes", true, "", 12},
    {"HeapKeyOnly", "js-heapinfo-metadata", false, "", 0},
    {"HeapBodyWithoutColon", "js-heapinfo-metadata js-heapinfo-size10", false, "", 0},
    {"HeapBodyWithoutKey", "js-heapinfo-metadata size:10", false, "", 0},
    {"HeapSizeNegative", "js-heapinfo-metadata js-heapinfo-size:-5", false, "", 0},
};

class MetadataParsing : public ::testing::TestWithParam<Announcement> {};

TEST_P(MetadataParsing, YieldsRecordOrRejects)
{
    const Announcement& a = GetParam();
    if (a.message.rfind("js-", 0) == 0) {
        const auto [valid, record] = Session::parseJavaScriptHeapInfoMetadata(a.message);
        EXPECT_EQ(valid, a.valid);
        EXPECT_EQ(std::streamoff(record.size), a.size);
    } else {
        const auto [valid, record] = Session::parseTraceFileMetadata(a.message);
        EXPECT_EQ(valid, a.valid);
        EXPECT_EQ(record.filename, a.filename);
        EXPECT_EQ(std::streamoff(record.filesize), a.size);
    }
}

INSTANTIATE_TEST_SUITE_P(Metadata, MetadataParsing, ::testing::ValuesIn(announcements),
                         [](const auto& info) { return info.param.name; });

} // namespace
