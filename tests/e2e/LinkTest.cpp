#include "LinkFixture.h"

#include <algorithm>
#include <sstream>

namespace YultTest {
namespace {

using LinkTest = LinkFixture;
using Options = std::vector<std::string>;

const std::string pid = std::to_string(getpid());
const std::string traceName = "yult-link-" + pid + ".trace";
const std::string endOfFile = lines({"doRead - error - End of file"});
const std::string handshakeLog =
    lines({"Sending profiler signal to target process with pid " + pid + " on port 9091",
           "Accepted connection from ostrel application", "Received message", "Sending message", "Received message",
           "handleMessage() - Handshake successful", "Sending message", "Received message"});

using Exchange = std::vector<std::pair<std::string, std::string>>; // application's message, agent's answer ("": none)

struct Conversation
{
    std::string name;
    Options options;
    std::string command; // the agent's command after a regular handshake; empty: no handshake
    Exchange exchange;
    std::string out, err;
};
void PrintTo(const Conversation& c, std::ostream* os) { *os << c.name; }

const Options cpuStart{"-C", "-S"}, heap{"-M", "-J"}, verboseStart{"-C", "-S", "-V"}, verboseStop{"-C", "-O", "-V"};
const std::string started = lines({"Profiling started"});
const Exchange inProgress{{"profiling-in-progress", ""}}, notInProgress{{"profiling-not-in-progress", ""}};
const Exchange traceStored{
    {"profiling-stopped", ""},
    {"profiler-trace-metadata trace-filename:" + traceName + "#trace-filesize:10", "ack-profiler-trace-metadata"},
    {"0123456789" + marker, "profiler-trace-file-received"}};
const Exchange heapAcked{{"js-heapinfo-metadata js-heapinfo-size:10", "js-heapinfo-metadata-ack"}};
const Exchange heapCut{{"js-heapinfo-metadata:js-heapinfo-size:7", "js-heapinfo-metadata-ack"},
                       {std::string("abc\0def", 7) + marker, "js-heapinfo-received"}};
const Exchange heapEmpty{{"js-heapinfo-metadata:js-heapinfo-size:0", "js-heapinfo-metadata-ack"}};
const Exchange heapNoKey{{"js-heapinfo-metadata size:10", ""}};
const Exchange anyCase{{"HELLO", "hello"}, {"Handshake-Success-ACK", "start-profiling"}, {"Profiling-Started", ""}};
const std::string storedLog = lines(
    {"Profiling stopped", "Received message", "Received CPU Trace file metadata", "Sending message", "Received message",
     "Data received so far: 10 Total file size: 10", "Sending message", "Profile trace dumped to : /tmp/" + traceName});
const std::string heapLog = lines({"Received JavaScript HeapInfo metadata", "Sending message"});
const std::string notRunning = lines({"Profiling is not in progress"}),
                  running = lines({"Profiling is already in progress"});
const std::string heapCorrupted = lines({"JavaScript HeapInfo metadata is corrupted"}),
                  heapFailed = lines({"Error receiving and processing JavaScript HeapInfo data"});

// A verbose run's output starts with the handshake's log. (-J beside a CPU start is not a heap
// summary request: the start is what the agent sends.)
const Conversation conversations[] = {
    {"CpuStartAlreadyRunningVerbose", verboseStart, "start-profiling", inProgress, running, ""},
    {"CpuStartWithHeapFlagStarts", {"-C", "-S", "-J"}, "start-profiling", {{"profiling-started", ""}}, started, ""},
    {"CpuStopNotRunningVerbose", verboseStop, "stop-profiling", notInProgress, notRunning, ""},
    {"CpuStopTraceStoredVerbose", verboseStop, "stop-profiling", traceStored, storedLog, ""},
    {"HeapAcknowledgedVerbose", {"-M", "-J", "-V"}, "get-js-heapinfo", heapAcked, heapLog, endOfFile},
    {"MessagesInAnyCase", cpuStart, "", anyCase, started, ""},
    {"HelloWithTrailingBlankDropped", cpuStart, "", {{"hello ", ""}}, "", ""},
    {"ProfilingStartedAsFirstMessage", cpuStart, "", {{"profiling-started", ""}}, started, ""},
    {"HeapBodyWithoutKeyCorrupted", heap, "get-js-heapinfo", heapNoKey, "", heapCorrupted},
    {"HeapSummaryWithMarkerCutAtZeroByte", heap, "get-js-heapinfo", heapCut, lines({"JavaScript HeapInfo: abc"}), ""},
    {"HeapEmptyIsAnErrorNeedingNoData", heap, "get-js-heapinfo", heapEmpty, "", heapFailed},
};

class Conversations : public LinkFixture, public ::testing::WithParamInterface<Conversation>
{
};

TEST_P(Conversations, WireBytesAndConsoleLines)
{
    const Conversation& c = GetParam();
    EXPECT_EQ(connectAgent(c.options), 9091);
    if (!c.command.empty()) {
        EXPECT_EQ(app.handshake(), c.command);
    }
    for (const auto& [message, answer] : c.exchange) {
        if (answer.empty()) {
            sendSettled(message);
        } else {
            app.send(message);
            EXPECT_EQ(app.receive(), answer);
        }
    }
    // Unless it waits for announced data, the agent ends the connection itself, sending nothing more.
    if (c.err != endOfFile) {
        EXPECT_EQ(app.receiveUntilClosed(), "");
    }
    app.close();
    EXPECT_EQ(agent->waitExit(), 0);
    const bool verbose = std::find(c.options.begin(), c.options.end(), "-V") != c.options.end();
    EXPECT_EQ(agent->out(), (verbose ? handshakeLog : "") + c.out);
    EXPECT_EQ(agent->err(), c.err);
    std::filesystem::remove("/tmp/" + traceName);
}

INSTANTIATE_TEST_SUITE_P(Link, Conversations, ::testing::ValuesIn(conversations),
                         [](const auto& info) { return info.param.name; });

// The first run keeps its port while the second looks for one ("first free" as the probe finds it).
TEST_F(LinkTest, DynamicPortIsFirstFreeFrom49152)
{
    const int firstFree = firstFreePort();
    EXPECT_EQ(connectAgent({"-C", "-S", "-D"}), firstFree);
    const auto first = std::move(agent);
    const int nextFree = firstFreePort(firstFree + 1);
    startAgent({"-C", "-S", "-D"});
    EXPECT_EQ(app.awaitSignalValue(), nextFree);
    // The application leaves first, so that no closed connection lingers on the agent's port.
    app.close();
    EXPECT_EQ(first->waitExit(), 0);
    EXPECT_EQ(first->err(), endOfFile);
}

TEST_F(LinkTest, ListenerFailureSendsNoSignal)
{
    EXPECT_EQ(connectAgent(cpuStart), 9091);
    const auto first = std::move(agent); // listens on 9091 while its session lasts
    startAgent(cpuStart);
    EXPECT_EQ(agent->waitExit(), 1);
    EXPECT_EQ(agent->err(), "YultService: bind: Address already in use\n");
    EXPECT_EQ(app.awaitSignalValue(0ms), -1);
    app.close();
    EXPECT_EQ(first->waitExit(), 0);
}

/// Waits until the agent holds a connection accepted on 9091 and sleeps again, having looked at
/// the peer. The kernel names the socket's inode from the accept on; a connect that has returned
/// may not even have reached the listen queue yet, so an empty queue is not enough.
bool awaitHeld(const ChildProcess& agent)
{
    const auto held = [] {
        std::istringstream table(readFile("/proc/net/tcp"));
        std::string slot, own, peer, state, queues, timer, retransmits, uid, timeout, inode;
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            if (fields >> slot >> own >> peer >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode &&
                own.size() > 5 && own.compare(own.size() - 5, 5, ":2383") == 0 && state == "01" && inode != "0") {
                return true;
            }
        }
        return false;
    };
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         !held() && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(100us); // the kernel announces no accept
    }
    return held() && agent.waitIdle();
}

// A reset that lands before the agent has answered hello fails the reply: three numbered retries
// and the exhaustion line, long before any deadline. The reset comes once the agent has served the
// peer: one that lands before the peer check has the peer refused, rightly. The agent is stopped
// meanwhile, so the hello is still unread when the reset comes; it reads it, and then its write
// meets the reset.
TEST_F(LinkTest, ResetBeforeTheReplyEndsTheRunAtOnce)
{
    connectAgent(cpuStart);
    ASSERT_TRUE(awaitHeld(*agent));
    ASSERT_TRUE(setStopped(agent->pid(), true));
    app.send("hello");
    app.reset();
    ASSERT_TRUE(setStopped(agent->pid(), false));
    EXPECT_EQ(agent->waitExit(10s), 0);
    EXPECT_EQ(agent->out(), "");
    EXPECT_EQ(agent->err(),
              lines({"doWrite - error - Connection reset by peer, Attempt 1",
                     "doWrite - error - Broken pipe, Attempt 2", "doWrite - error - Broken pipe, Attempt 3",
                     "doWrite : Exhausted max write retries. Closing connection."}));
}

// The session ends at its own deadline, 30 s after its latest read; a second connection is never served.
TEST_F(LinkTest, SilentApplicationMeetsSessionDeadlineAndNoSecondConnectionIsServed)
{
    const int port = connectAgent(cpuStart);
    const auto beforeLastRead = std::chrono::steady_clock::now(); // the agent's last read starts after this
    EXPECT_EQ(app.handshake(), "start-profiling");
    AppPeer second;
    EXPECT_TRUE(second.connectTo(port));
    second.send("hello");
    EXPECT_EQ(agent->waitExit(45s), 0);
    // A lower bound on how long the agent stayed: a slow machine only makes it longer.
    const auto stayed = std::chrono::steady_clock::now() - beforeLastRead;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(stayed).count(), 30000);
    EXPECT_EQ(agent->out(), "");
    EXPECT_EQ(agent->err(), expired + "\n");
    EXPECT_EQ(app.receiveUntilClosed(), "");
    EXPECT_EQ(second.receiveUntilClosed(), "");
}

} // namespace
} // namespace YultTest
