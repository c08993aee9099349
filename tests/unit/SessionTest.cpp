#include "link/Session.h"
#include "LinkFixture.h"
#include "guard/TargetProcess.h"

#include <filesystem>
#include <optional>
#include <poll.h>
#include <unistd.h>

// The session in this process, the test playing the application; the program's ending is end to end.
namespace YultTest {
namespace {

using namespace std::chrono_literals;
using namespace YultService::SocketCommunication;

/// One session on a fresh loopback connection; the run's console lines are captured while it lives.
class SessionRun : public CapturedConsole
{
  public:
    explicit SessionRun(const std::string& command, bool verbose = false)
        : acceptor(std::in_place, *io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0))
    {
        LinkJob job;
        job.pid = getpid();
        job.verbose = verbose;
        job.command = command;
        job.deadlines.session = 1s; // the job's 30 s, shortened: only a silent application meets it
        job.deadlines.emptyTransfer = 20ms;
        EXPECT_TRUE(app.connectTo(acceptor->local_endpoint().port()));
        asio::ip::tcp::socket socket(*io);
        acceptor->accept(socket);
        sessionEnd = socket.native_handle();
        // Only its pending operations own it, as in the agent.
        std::make_shared<Session>(*io, std::move(socket), job, target, [this](int status) {
            ending = status;
            io->stop();
        })->start();
        while (io->poll() > 0) {
        }
    }

    /// Sends the bytes and lets the session take them as one read, and answer, before anything else comes.
    void say(std::string_view bytes)
    {
        app.stream(bytes);
        pollfd arrived{sessionEnd, POLLIN, 0};
        poll(&arrived, 1, 5000);
        while (io->poll() > 0) { // the session takes them and answers
        }
    }
    /// Runs the session until its run ends or it has nothing left to do (bounded); then it is gone.
    void finish()
    {
        io->run_for(5s);
        acceptor.reset();
        io.reset();
    }

    AppPeer app;
    std::optional<int> ending; ///< the status reported to the ending; none: the session only stopped

  private:
    std::unique_ptr<asio::io_context> io = std::make_unique<asio::io_context>();
    std::optional<asio::ip::tcp::acceptor> acceptor;
    int sessionEnd = -1; ///< the session's socket, watched (never read) for what the application sent
    const YultService::Guard::TargetProcess target = YultService::Guard::TargetProcess::pin(getpid());
};

/// The application's messages and the session's answer to each ("": none); an empty message: the application leaves.
using Exchange = std::vector<std::pair<std::string, std::string>>;

struct Conversation
{
    std::string name;
    std::string command; ///< the job's; after a regular handshake unless `handshake` is false
    bool verbose, handshake;
    Exchange exchange;
    std::optional<int> ending;
    std::string out, err;
    std::string tail = "";                  ///< what the session sends after the last answer read
    std::optional<std::string> stored = {}; ///< the trace file afterwards, over a longer earlier one
};
void PrintTo(const Conversation& c, std::ostream* os) { *os << c.name; }

const std::string traceName = "yult-session-" + std::to_string(getpid()) + ".trace";
const std::string tracePath = "/tmp/" + traceName;

std::string announced(std::size_t size)
{
    return "profiler-trace-metadata:trace-filename:" + traceName + "#trace-filesize:" + std::to_string(size);
}

/// A stop whose trace is announced, then streamed in reads of `piece` bytes (0: one read).
Exchange delivered(const std::string& announcement, std::string rest, std::size_t piece = 0, bool leaves = false)
{
    Exchange steps{{"profiling-stopped", ""}, {announcement, "ack-profiler-trace-metadata"}};
    for (const std::size_t read = piece != 0 ? piece : std::string::npos; !rest.empty(); rest.erase(0, read)) {
        steps.push_back({rest.substr(0, read), ""});
    }
    if (leaves) {
        steps.push_back({"", ""});
    }
    return steps;
}

const std::string handshakeLog =
    lines({"Received message", "Sending message", "Received message", "handleMessage() - Handshake successful",
           "Sending message", "Received message"});
const std::string started = lines({"Profiling started"});
const std::string start = "start-profiling", stop = "stop-profiling", heap = "get-js-heapinfo";
const Exchange anyCase{{"HELLO", "hello"}, {"Handshake-Success-ACK", "start-profiling"}, {"Profiling-Started", ""}};

const std::string heapAckLog = handshakeLog + lines({"Received JavaScript HeapInfo metadata", "Sending message"});
const std::string running = handshakeLog + lines({"Profiling is already in progress"});
const std::string notRunning = handshakeLog + lines({"Profiling is not in progress"});
const std::string heapCorrupted = lines({"JavaScript HeapInfo metadata is corrupted"});
const std::string heapFailed = lines({"Error receiving and processing JavaScript HeapInfo data"});
const Exchange heapEmpty{{"js-heapinfo-metadata:js-heapinfo-size:0", "js-heapinfo-metadata-ack"}};
const Exchange heapWaiting{{"js-heapinfo-metadata js-heapinfo-size:10", "js-heapinfo-metadata-ack"}, {"", ""}};
constexpr bool verbose = true, quiet = false, handshake = true, direct = false;
constexpr std::nullopt_t none = std::nullopt;
const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ", receipt = "profiler-trace-file-received";
const std::string upperCase =
    "PROFILER-TRACE-METADATA:TRACE-FILENAME:YULT-SESSION-" + std::to_string(getpid()) + ".TRACE#TRACE-FILESIZE:26";
const std::string dumped = lines({"Profiling stopped", "Profile trace dumped to : " + tracePath});
Conversation stores(const std::string& name, const Exchange& exchange, const std::string& content)
{
    return {name, "stop-profiling", false, true, exchange, 0, dumped, "", receipt, content};
}

// clang-format off
const Conversation conversations[] = {
    {"CpuStartAlreadyRunningVerbose", start, verbose, handshake, {{"profiling-in-progress", ""}}, 0, running, ""},
    {"CpuStopNotRunningVerbose", stop, verbose, handshake, {{"profiling-not-in-progress", ""}}, 0, notRunning, ""},
    {"HeapAcknowledgedWaitsForData", heap, verbose, handshake, heapWaiting, none, heapAckLog, endOfFile},
    {"MessagesInAnyCase", start, quiet, direct, anyCase, 0, started, ""},
    {"HelloWithTrailingBlankDropped", start, quiet, direct, {{"hello ", ""}}, none, "", ""},
    {"ProfilingStartedAsFirstMessage", start, quiet, direct, {{"profiling-started", ""}}, 0, started, ""},
    {"SilentApplicationMeetsTheDeadline", start, quiet, handshake, {}, 0, "", expired + "\n"},
    {"UnknownMessageDroppedReadingStops", stop, quiet, handshake, {{"profiling-paused", ""}}, none, "", ""},
    {"HeapBodyWithoutKeyCorrupted", heap, quiet, handshake, {{"js-heapinfo-metadata size:10", ""}}, 0, "", heapCorrupted},
    {"HeapEmptyIsAnErrorNeedingNoData", heap, quiet, handshake, heapEmpty, 0, "", heapFailed},
    // With nothing owed, the receipt still waits for a read (the marker) or a short grace.
    stores("BeyondTheReadBufferWithoutMarker", delivered(announced(70000), patterned(70000)), patterned(70000)),
    stores("EmptyTraceMarkerAlone", delivered(announced(0), marker), ""),
    stores("EmptyTraceNothingAfterAcknowledgement", delivered(announced(0), ""), ""),
    stores("EveryByteValue", delivered(announced(1285), patterned(1285, 257) + marker), patterned(1285, 257)),
    stores("UpperCaseNameLowerCasedContentKept", delivered(upperCase, letters + marker), letters),
    {"ClosingMidTransferKeepsPartialFile", stop, quiet, handshake, delivered(announced(3000), patterned(1500), 0, true),
     none, lines({"Profiling stopped"}), endOfFile, "", patterned(1500)},
};
// clang-format on

using Conversations = ::testing::TestWithParam<Conversation>;

// Unless it waits for announced data, the session ends the connection itself.
TEST_P(Conversations, WireBytesAndConsoleLines)
{
    const Conversation& c = GetParam();
    if (c.stored) {
        writeFile(tracePath, patterned(5000));
    }
    SessionRun run(c.command, c.verbose);
    if (c.handshake) {
        run.say("hello");
        EXPECT_EQ(run.app.receive(), "hello");
        run.say("handshake-success-ack");
        EXPECT_EQ(run.app.receive(), c.command);
    }
    bool left = false;
    for (const auto& [message, answer] : c.exchange) {
        if ((left = message.empty())) {
            run.app.close();
            break;
        }
        run.say(message);
        if (!answer.empty()) {
            EXPECT_EQ(run.app.receive(), answer);
        }
    }
    run.finish();
    EXPECT_EQ(run.ending, c.ending);
    EXPECT_EQ(left ? "" : run.app.receiveUntilClosed(), c.tail);
    EXPECT_EQ(run.outText.str(), c.out);
    EXPECT_EQ(run.errText.str(), c.err);
    EXPECT_EQ(c.stored ? readFile(tracePath) : "", c.stored.value_or(""));
    std::filesystem::remove(tracePath);
}

INSTANTIATE_TEST_SUITE_P(Session, Conversations, ::testing::ValuesIn(conversations),
                         [](const auto& info) { return info.param.name; });

// A reset before the session has answered hello fails the reply: three numbered retries, then the end.
TEST(SessionWrite, ResetBeforeTheReplyEndsTheRun)
{
    SessionRun run("start-profiling");
    run.app.send("hello");
    run.app.reset();
    run.finish();
    EXPECT_EQ(run.ending, 0);
    EXPECT_EQ(run.outText.str(), "");
    EXPECT_EQ(run.errText.str(),
              lines({"doWrite - error - Connection reset by peer, Attempt 1",
                     "doWrite - error - Broken pipe, Attempt 2", "doWrite - error - Broken pipe, Attempt 3",
                     "doWrite : Exhausted max write retries. Closing connection."}));
}

} // namespace
} // namespace YultTest
