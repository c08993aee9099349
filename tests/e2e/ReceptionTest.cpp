#include "LinkFixture.h"

#include <filesystem>
#include <sstream>

namespace YultTest {
namespace {

const std::string marker = "profiler-trace-data-end";

// A period of 23 does not divide the agent's 1024-byte reads, so a shifted or lost byte shows.
std::string lines(std::size_t size)
{
    std::string text(size, '\n');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = i % 23 == 22 ? '\n' : static_cast<char>('a' + i % 23);
    }
    return text;
}

/// What a conforming application streams after the acknowledgement: the content in writes of
/// `piece` bytes (0: one write), the marker, if any, in the last of them.
struct Delivery
{
    std::string name;
    std::string content;
    std::size_t piece;
    bool withMarker;
};

void PrintTo(const Delivery& d, std::ostream* os) { *os << d.name; }

std::string traceAnnouncement(const std::string& name, std::size_t size)
{
    return "profiler-trace-metadata:trace-filename:" + name + "#trace-filesize:" + std::to_string(size);
}

class Reception : public LinkFixture
{
  protected:
    ~Reception() override { std::remove(path.c_str()); }

    void announceTrace(const std::string& announcement, const std::vector<std::string>& options = {"-C", "-O"})
    {
        connectAgent(options);
        EXPECT_EQ(handshake(), "stop-profiling");
        sendSettled("profiling-stopped");
        app.send(announcement);
        EXPECT_EQ(app.receive(), "ack-profiler-trace-metadata");
    }

    void announceHeap(std::size_t size)
    {
        connectAgent({"-M", "-J"});
        EXPECT_EQ(handshake(), "get-js-heapinfo");
        app.send("js-heapinfo-metadata:js-heapinfo-size:" + std::to_string(size));
        EXPECT_EQ(app.receive(), "js-heapinfo-metadata-ack");
    }

    void deliver(const Delivery& d)
    {
        std::string rest = d.content;
        for (; d.piece != 0 && rest.size() > d.piece; rest.erase(0, d.piece)) {
            app.send(rest.substr(0, d.piece));
        }
        app.send(rest + (d.withMarker ? marker : ""));
    }

    void expectStored(const std::string& content)
    {
        EXPECT_EQ(app.receiveUntilClosed(), "profiler-trace-file-received");
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->out(),
                  "YultService: Profiling stopped\nYultService: Profile trace dumped to : " + path + "\n");
        EXPECT_EQ(agent->err(), "");
        EXPECT_EQ(readFile(path), content);
    }

    const std::string name = "yult-rx-" + std::to_string(getpid()) + ".json";
    const std::string path = "/tmp/" + name;
};

class TraceDelivery : public Reception, public ::testing::WithParamInterface<Delivery>
{
};

TEST_P(TraceDelivery, StoredByteForByteAndConfirmed)
{
    const auto& d = GetParam();
    announceTrace(traceAnnouncement(name, d.content.size()));
    deliver(d);
    expectStored(d.content);
}

const std::string everyByteValue = [] {
    std::string bytes(256 * 5, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i % 256);
    }
    return bytes;
}();

INSTANTIATE_TEST_SUITE_P(
    Conforming, TraceDelivery,
    ::testing::Values(Delivery{"OneWriteWithMarker", lines(2500), 0, true},
                      Delivery{"OneWriteWithoutMarker", lines(2500), 0, false},
                      Delivery{"ContentFillingWholeReads", lines(2048), 0, true},
                      Delivery{"SevenBytePieces", lines(100), 7, true},
                      Delivery{"EmptyTraceMarkerAlone", "", 0, true},
                      Delivery{"EveryByteValue", everyByteValue, 0, true}),
    [](const auto& info) { return info.param.name; });

// From a remainder of 1002 on, the read that completes the content holds only the head of the marker.
std::vector<Delivery> straddlingMarkers()
{
    std::vector<Delivery> cases;
    for (std::size_t remainder = 990; remainder < 1024; ++remainder) {
        cases.push_back({"Remainder" + std::to_string(remainder), lines(2 * 1024 + remainder), 0, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(StraddlingMarker, TraceDelivery, ::testing::ValuesIn(straddlingMarkers()),
                         [](const auto& info) { return info.param.name; });

using TraceReception = Reception;

TEST_F(TraceReception, ExistingFileTruncated)
{
    writeFile(path, lines(5000));
    announceTrace(traceAnnouncement(name, 100));
    app.send(std::string(100, 'z') + marker);
    expectStored(std::string(100, 'z'));
}

TEST_F(TraceReception, UpperCaseNameLowerCasedContentKept)
{
    announceTrace("PROFILER-TRACE-METADATA:TRACE-FILENAME:YULT-RX-" + std::to_string(getpid()) +
                  ".JSON#TRACE-FILESIZE:26");
    app.send("ABCDEFGHIJKLMNOPQRSTUVWXYZ" + marker);
    expectStored("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
}

TEST_F(TraceReception, SymbolicLinkNeitherFollowedNorConfirmed)
{
    TempDir dir;
    const std::string target = dir.path + "/target";
    writeFile(target, "kept as it was");
    std::filesystem::create_symlink(target, path);
    announceTrace(traceAnnouncement(name, 5));
    app.send("abcde" + marker);
    EXPECT_EQ(app.receiveUntilClosed(), "");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: Profiling stopped\n");
    EXPECT_EQ(agent->err(), "YultService: Error receiving and processing CPU trace file\n"
                            "YultService: Trace file path: " + path + "\n");
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readFile(target), "kept as it was");
}

TEST_F(TraceReception, ApplicationClosingMidTransferKeepsPartialFile)
{
    announceTrace(traceAnnouncement(name, 3000));
    app.send(lines(1500));
    app.close();
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: Profiling stopped\n");
    EXPECT_EQ(agent->err(), "YultService: doRead - error - End of file\n");
    EXPECT_EQ(readFile(path), lines(1500));
}

TEST_F(TraceReception, VerboseProgressLinePerRead)
{
    announceTrace(traceAnnouncement(name, 10), {"-C", "-O", "-V"});
    sendSettled("abcd");
    sendSettled("efg");
    app.send("hij" + marker);
    EXPECT_EQ(app.receiveUntilClosed(), "profiler-trace-file-received");
    EXPECT_EQ(agent->waitExit(), 0);
    std::istringstream out(agent->out());
    std::string progress;
    for (std::string line; std::getline(out, line);) {
        if (line.find("Data received so far") != std::string::npos) {
            progress += line + "\n";
        }
    }
    EXPECT_EQ(progress, "YultService: Data received so far: 4 Total file size: 10\n"
                        "YultService: Data received so far: 7 Total file size: 10\n"
                        "YultService: Data received so far: 10 Total file size: 10\n");
    EXPECT_EQ(readFile(path), "abcdefghij");
}

class HeapDelivery : public Reception, public ::testing::WithParamInterface<Delivery>
{
};

TEST_P(HeapDelivery, PrintedAndConfirmed)
{
    const auto& d = GetParam();
    announceHeap(d.content.size());
    deliver(d);
    EXPECT_EQ(app.receiveUntilClosed(), "js-heapinfo-received");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: JavaScript HeapInfo: " + d.content.substr(0, d.content.find('\0')) + "\n");
    EXPECT_EQ(agent->err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Summaries, HeapDelivery,
    ::testing::Values(Delivery{"WithMarker", "Heap Used 42 KB", 0, true},
                      Delivery{"WithoutMarker", "Heap Used 42 KB", 0, false},
                      Delivery{"LineBreaksAcrossReads", lines(3000), 0, true},
                      Delivery{"SevenBytePieces", lines(100), 7, true},
                      Delivery{"CutAtZeroByte", std::string("abc\0def", 7), 0, true}),
    [](const auto& info) { return info.param.name; });

using HeapReception = Reception;

TEST_F(HeapReception, EmptySummaryIsAnError)
{
    announceHeap(0);
    app.send(marker);
    EXPECT_EQ(app.receiveUntilClosed(), "");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "");
    EXPECT_EQ(agent->err(), "YultService: Error receiving and processing JavaScript HeapInfo data\n");
}

} // namespace
} // namespace YultTest
