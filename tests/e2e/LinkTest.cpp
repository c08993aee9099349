#include "LinkFixture.h"

#include "utils/Helper.h"

#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <optional>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

namespace YultTest {
namespace {

using LinkTest = LinkFixture;
using Options = std::vector<std::string>;
using YultService::Utils::Helper;

std::string lines(std::initializer_list<std::string> texts)
{
    std::string all;
    for (const auto& text : texts) {
        all += "YultService: " + text + "\n";
    }
    return all;
}

const std::string pid = std::to_string(getpid());
const std::string traceName = "yult-link-" + pid + ".trace";
const std::string expired =
    lines({"checkDeadline() - Closing connection since the deadline to complete operation has expired"});
const std::string endOfFile = lines({"doRead - error - End of file"});
const std::string handshakeLog =
    lines({"Sending profiler signal to target process with pid " + pid + " on port 9091",
           "Accepted connection from ostrel application", "Received message", "Sending message", "Received message",
           "handleMessage() - Handshake successful", "Sending message", "Received message"});

// A port taken by another process. Reuse-address, so that a connection of an earlier run
// lingering on the port does not keep the test from taking it.
struct HeldPort
{
    explicit HeldPort(int port, bool listening = false)
    {
        const int one = 1;
        const sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
        held = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
               bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
               (!listening || listen(fd, 1) == 0);
    }
    ~HeldPort() { close(fd); }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool held = false;
};

struct Conversation
{
    std::string name;
    Options options;
    std::string command; // the agent's command after a regular handshake; empty: no handshake
    std::vector<std::pair<std::string, std::string>> exchange; // application's message, agent's answer ("": none)
    std::string out;
    std::string err;
};
void PrintTo(const Conversation& c, std::ostream* os) { *os << c.name; }

const Options cpuStart{"-C", "-S"}, cpuStop{"-C", "-O"};
const Options cpuStartV{"-C", "-S", "-V"}, cpuStopV{"-C", "-O", "-V"};
const std::pair<std::string, std::string> stopped{"profiling-stopped", ""};
const std::pair<std::string, std::string> traceAcked{
    "profiler-trace-metadata trace-filename:" + traceName + "#trace-filesize:10", "ack-profiler-trace-metadata"};
const std::string started = lines({"Profiling started"}), stoppedOut = lines({"Profiling stopped"});

const Conversation conversations[] = {
    {"CpuStartAlreadyRunning", cpuStart, "start-profiling", {{"profiling-in-progress", ""}}, "", ""},
    {"CpuStartAlreadyRunningVerbose", cpuStartV, "start-profiling", {{"profiling-in-progress", ""}},
     handshakeLog + lines({"Profiling is already in progress"}), ""},
    {"CpuStopNotRunning", cpuStop, "stop-profiling", {{"profiling-not-in-progress", ""}}, "", ""},
    {"CpuStopNotRunningVerbose", cpuStopV, "stop-profiling", {{"profiling-not-in-progress", ""}},
     handshakeLog + lines({"Profiling is not in progress"}), ""},
    {"CpuStopTraceAcknowledgedVerbose", cpuStopV, "stop-profiling", {stopped, traceAcked},
     handshakeLog +
         lines({"Profiling stopped", "Received message", "Received CPU Trace file metadata", "Sending message"}),
     endOfFile},
    {"CpuStopUpperCaseAnnouncement", cpuStop, "stop-profiling",
     {stopped, {"PROFILER-TRACE-METADATA TRACE-FILENAME:YULT-LINK-" + pid + ".TRACE#TRACE-FILESIZE:10",
                "ack-profiler-trace-metadata"}},
     stoppedOut, endOfFile},
    {"HeapAcknowledgedVerbose", {"-M", "-J", "-V"}, "get-js-heapinfo",
     {{"js-heapinfo-metadata js-heapinfo-size:10", "js-heapinfo-metadata-ack"}},
     handshakeLog + lines({"Received JavaScript HeapInfo metadata", "Sending message"}), endOfFile},
    {"MessagesInAnyCase", cpuStart, "",
     {{"HELLO", "hello"}, {"Handshake-Success-ACK", "start-profiling"}, {"Profiling-Started", ""}}, started, ""},
    {"HelloWithTrailingBlankDropped", cpuStart, "", {{"hello ", ""}}, "", ""},
    {"ProfilingStartedAsFirstMessage", cpuStart, "", {{"profiling-started", ""}}, started, ""},
    {"TraceNameLeavingTmpCorrupted", cpuStop, "stop-profiling",
     {stopped, {"profiler-trace-metadata trace-filename:../a#trace-filesize:1", ""}}, stoppedOut,
     lines({"CPU Trace file metadata is corrupted"})},
    {"HeapBodyWithoutKeyCorrupted", {"-M", "-J"}, "get-js-heapinfo", {{"js-heapinfo-metadata size:10", ""}}, "",
     lines({"JavaScript HeapInfo metadata is corrupted"})},
};

class Conversations : public LinkFixture, public ::testing::WithParamInterface<Conversation> {};

TEST_P(Conversations, WireBytesAndConsoleLines)
{
    const Conversation& c = GetParam();
    EXPECT_EQ(connectAgent(c.options), 9091);
    if (!c.command.empty()) {
        EXPECT_EQ(handshake(), c.command);
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
    EXPECT_EQ(agent->out(), c.out);
    EXPECT_EQ(agent->err(), c.err);
    std::remove(("/tmp/" + traceName).c_str());
}

INSTANTIATE_TEST_SUITE_P(Link, Conversations, ::testing::ValuesIn(conversations),
                         [](const auto& info) { return info.param.name; });

// 49152 is held, then free again: the probe must see both. (Every conversation checks 9091.)
TEST_F(LinkTest, DynamicPortIsFirstFreeFrom49152)
{
    for (const bool holdFirst : {true, false}) {
        const int port = holdFirst ? 49153 : 49152;
        SCOPED_TRACE(port);
        std::optional<HeldPort> first;
        if (holdFirst) {
            first.emplace(49152);
            EXPECT_TRUE(Helper::isPortOccupied(49152));
        }
        if ((first && !first->held) || Helper::isPortOccupied(port)) {
            GTEST_SKIP() << "port " << port << " is taken by another process";
        }
        EXPECT_EQ(Helper::getFreePort(), port);
        EXPECT_EQ(connectAgent({"-C", "-S", "-D"}), port);
        // The application leaves first, so that no closed connection lingers on the agent's port.
        app.close();
        EXPECT_EQ(agent->waitExit(), 0);
        EXPECT_EQ(agent->err(), endOfFile);
    }
}

TEST_F(LinkTest, NoConnectionEndsRunAtServerDeadline)
{
    startAgent(cpuStart);
    EXPECT_EQ(app.awaitSignalValue(), 9091);
    EXPECT_EQ(agent->waitExit(), 1);
    EXPECT_EQ(agent->out(), "");
    EXPECT_EQ(agent->err(), expired);
}

TEST_F(LinkTest, ListenerFailureSendsNoSignal)
{
    const HeldPort port(9091, true);
    if (!port.held) {
        GTEST_SKIP() << "9091 is taken by another process";
    }
    startAgent(cpuStart);
    EXPECT_EQ(agent->waitExit(), 1);
    EXPECT_EQ(agent->err(), "YultService: bind: Address already in use\n");
    EXPECT_EQ(app.awaitSignalValue(0ms), -1);
}

TEST_F(LinkTest, TargetNotHandlingSignalIsNeverSignalled)
{
    // /bin/sleep with a clean mask neither catches, blocks nor ignores SIGUSR1.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t target = -1;
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
    ASSERT_EQ(posix_spawn(&target, "/bin/sleep", nullptr, &attributes, argv, environ), 0);
    writeFile(tulmHome.path + "/apps/" + std::to_string(target), "com.olva.sleeper");
    AgentProcess run({"-P", std::to_string(target), "-C", "-S"}, agentEnvironment());
    EXPECT_EQ(run.waitExit(), 1);
    EXPECT_EQ(run.err(), "YultService: Sending profiler signal to target failed: target does not handle SIGUSR1\n");
    // A SIGUSR1 already sent would have doomed the target, and its death would name that signal.
    kill(target, SIGKILL);
    int status = 0;
    waitpid(target, &status, 0);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST_F(LinkTest, SessionOutlastsServerDeadlineAndNoSecondConnectionIsServed)
{
    const int port = connectAgent(cpuStart);
    EXPECT_EQ(handshake(), "start-profiling");
    AppPeer second;
    EXPECT_TRUE(second.connectTo(port)); // completed by the listen backlog
    second.send("hello");
    // Elapsed time is the point, not an event: answer once the 5-second server deadline lies behind.
    std::this_thread::sleep_for(6s);
    app.send("profiling-started");
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(agent->out(), started);
    EXPECT_EQ(agent->err(), "");
    EXPECT_EQ(second.receiveUntilClosed(), "");
}

TEST_F(LinkTest, SilentApplicationMeetsSessionDeadline)
{
    connectAgent(cpuStart);
    EXPECT_EQ(handshake(), "start-profiling");
    EXPECT_EQ(agent->waitExit(45s), 0);
    EXPECT_EQ(agent->err(), expired + "\n");
    EXPECT_EQ(app.receiveUntilClosed(), "");
}

} // namespace
} // namespace YultTest
