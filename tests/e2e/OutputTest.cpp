#include "LinkFixture.h"

namespace YultTest {
namespace {

// A caller that stops reading the agent's output: its reader gone, or never reading at all.
class CallerNotReading : public LinkFixture
{
  protected:
    /// The agent sleeps in a write to a pipe ("pipe_write", or "anon_pipe_write" on newer kernels).
    bool blockedWriting() const
    {
        const std::string where = agent->sleepsIn();
        return where.size() >= 10 && where.compare(where.size() - 10, 10, "pipe_write") == 0;
    }
};

struct ReaderGone
{
    std::string name;
    ChildProcess::Output output;
    std::vector<std::string> options;
    std::vector<std::string> messages; // the application's, after the handshake
    std::string lines;                 // what the agent writes to the output that is still read
};
void PrintTo(const ReaderGone& r, std::ostream* os) { *os << r.name; }

class ClosedOutput : public CallerNotReading, public ::testing::WithParamInterface<ReaderGone>
{
};

// The writes fail, the run goes on and ends with its own status, not killed by SIGPIPE.
TEST_P(ClosedOutput, RunEndsWithItsOwnStatus)
{
    const auto& r = GetParam();
    connectAgent(r.options, r.output);
    app.handshake();
    for (const auto& message : r.messages) {
        sendSettled(message);
    }
    EXPECT_EQ(agent->waitExit(), 0);
    EXPECT_EQ(r.output == ChildProcess::Output::ClosedOut ? agent->err() : agent->out(), r.lines);
}

const ReaderGone readersGone[] = {
    {"ResultOnClosedOutput", ChildProcess::Output::ClosedOut, {"-C", "-S", "-V"}, {"profiling-started"}, ""},
    {"ErrorOnClosedErrorOutput",
     ChildProcess::Output::ClosedErr,
     {"-C", "-O"},
     {"profiling-stopped", "profiler-trace-metadata:trace-filename:#trace-filesize:1"},
     lines({"Profiling stopped"})},
};

INSTANTIATE_TEST_SUITE_P(CallerGone, ClosedOutput, ::testing::ValuesIn(readersGone),
                         [](const auto& info) { return info.param.name; });

// Progress lines fill an output nobody reads and the agent's one thread blocks writing them, in
// the middle of a trace that then stalls: the session deadline still ends the run, with its line.
TEST_F(CallerNotReading, StalledOutputDoesNotOutlastSessionDeadline)
{
    const std::string name = "yult-stalled-" + std::to_string(getpid()) + ".json";
    connectAgent({"-C", "-O", "-V"}, ChildProcess::Output::StalledOut);
    EXPECT_EQ(app.handshake(), "stop-profiling");
    sendSettled("profiling-stopped");
    app.send("profiler-trace-metadata:trace-filename:" + name + "#trace-filesize:4194304");
    EXPECT_EQ(app.receive(), "ack-profiler-trace-metadata");
    const std::string block = patterned(16384);
    for (int sent = 0; sent < 64 && !blockedWriting(); ++sent) {
        ASSERT_TRUE(app.stream(block));
        agent->waitIdle(); // asleep: waiting for data, or blocked in the write
    }
    ASSERT_TRUE(blockedWriting()) << agent->sleepsIn();
    EXPECT_EQ(agent->waitExit(45s), 0);
    EXPECT_EQ(agent->err(), lines({"checkDeadline() - Closing connection since the deadline to complete operation "
                                   "has expired\n"}));
    std::filesystem::remove("/tmp/" + name);
}

} // namespace
} // namespace YultTest
