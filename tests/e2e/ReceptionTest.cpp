#include "LinkFixture.h"

namespace YultTest {
namespace {

/// What a conforming application streams after the acknowledgement: the content in writes of
/// `piece` bytes (0: one write), the marker, if any, in the last of them; or, with `settled`, the
/// first `settled` bytes of content and marker in a read of their own, and the rest after the reply.
struct Delivery
{
    std::string name;
    std::string content;
    std::size_t piece;
    bool withMarker;
    std::size_t settled = 0;
};

void PrintTo(const Delivery& d, std::ostream* os) { *os << d.name; }

std::string traceAnnouncement(const std::string& name, std::size_t size)
{
    return "profiler-trace-metadata:trace-filename:" + name + "#trace-filesize:" + std::to_string(size);
}

class TraceReception : public LinkFixture
{
  protected:
    ~TraceReception() override { std::filesystem::remove(path); }

    /// Announces the trace; `settled`: the announcement taken before the acknowledgement is read.
    void announceTrace(const std::string& announcement, bool settled = false)
    {
        connectAgent({"-C", "-O"});
        EXPECT_EQ(app.handshake(), "stop-profiling");
        sendSettled("profiling-stopped");
        settled ? sendSettled(announcement) : app.send(announcement);
        EXPECT_EQ(app.receive(), "ack-profiler-trace-metadata");
    }

    void expectStored(const std::string& content, const std::string& receipt = "profiler-trace-file-received")
    {
        EXPECT_EQ(app.receiveUntilClosed(), receipt);
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->out(),
                  "YultService: Profiling stopped\nYultService: Profile trace dumped to : " + path + "\n");
        EXPECT_EQ(agent->err(), "");
        EXPECT_EQ(readFile(path), content);
    }

    const std::string name = "yult-rx-" + std::to_string(getpid()) + ".json";
    const std::string path = "/tmp/" + name;
};

class TraceDelivery : public TraceReception, public ::testing::WithParamInterface<Delivery>
{
};

// A longer file left from an earlier run is truncated.
TEST_P(TraceDelivery, StoredByteForByteAndConfirmed)
{
    const auto& d = GetParam();
    writeFile(path, patterned(5000));
    std::string rest = d.content + (d.withMarker ? marker : "");
    // With nothing owed, the acknowledgement still comes alone, to be read alone: the receipt waits
    // for one read (the marker) or, without one, a short grace.
    announceTrace(traceAnnouncement(name, d.content.size()), d.content.empty());
    if (d.settled != 0) {
        sendSettled(rest.substr(0, d.settled));
        rest.erase(0, d.settled);
        expectStored(d.content);
        app.stream(rest); // to an agent that has ended: the application's send may fail
        return;
    }
    for (; d.piece != 0 && rest.size() > d.piece; rest.erase(0, d.piece)) {
        app.send(rest.substr(0, d.piece));
    }
    if (!rest.empty()) {
        app.send(rest);
    }
    expectStored(d.content);
}

// Content around a text of the protocol's own: the announced size alone delimits it.
const std::string markerInside = patterned(500) + marker + patterned(1477);
const std::string markerFirst = marker + patterned(1977);

std::vector<Delivery> conformingTraces()
{
    return {{"OneWriteWithMarker", patterned(2500), 0, true},
            {"BeyondTheFileBufferWithoutMarker", patterned(70000), 0, false},
            {"SevenBytePieces", patterned(100), 7, true},
            {"EmptyTraceMarkerAlone", "", 0, true},
            {"EmptyTraceNothingAfterAcknowledgement", "", 0, false},
            {"EveryByteValue", patterned(5 * 257, 257), 0, true},
            {"MarkerInsideFinalMarkerSplit", markerInside, 0, true, markerInside.size() + 10},
            {"MarkerFirstFinalMarkerSplit", markerFirst, 0, true, markerFirst.size() + 10}};
}

INSTANTIATE_TEST_SUITE_P(Conforming, TraceDelivery, ::testing::ValuesIn(conformingTraces()),
                         [](const auto& info) { return info.param.name; });

TEST_F(TraceReception, UpperCaseNameLowerCasedContentKept)
{
    announceTrace("PROFILER-TRACE-METADATA:TRACE-FILENAME:YULT-RX-" + std::to_string(getpid()) +
                  ".JSON#TRACE-FILESIZE:26");
    app.send("ABCDEFGHIJKLMNOPQRSTUVWXYZ" + marker);
    expectStored("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
}

// A link planted at the path is not followed and nothing is confirmed. (What else may not be
// replaced is unit-tested; the process fuzzer plants all of it.)
TEST_F(TraceReception, LinkAtThePathRefusedAndKept)
{
    TempDir dir;
    const std::string target = dir.path + "/target";
    writeFile(target, "kept as it was");
    std::filesystem::remove(path);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    announceTrace(traceAnnouncement(name, 5));
    app.send("abcde" + marker);
    EXPECT_EQ(app.receiveUntilClosed(), "");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: Profiling stopped\n");
    EXPECT_EQ(agent->err(), lines({"Error receiving and processing CPU trace file", "Trace file path: " + path}));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readFile(target), "kept as it was");
}

TEST_F(TraceReception, ApplicationClosingMidTransferKeepsPartialFile)
{
    announceTrace(traceAnnouncement(name, 3000));
    app.send(patterned(1500));
    app.close();
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), "YultService: Profiling stopped\n");
    EXPECT_EQ(agent->err(), "YultService: doRead - error - End of file\n");
    EXPECT_EQ(readFile(path), patterned(1500));
}

} // namespace
} // namespace YultTest
