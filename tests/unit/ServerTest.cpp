#include "LinkFixture.h"
#include "app/Job.h"
#include "logger/Log.h"
#include "utils/Helper.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

// The listener in this process, on the agent's dynamic ports.
namespace YultTest {
namespace {

using YultPeer::AppPeer;
using YultService::startServer;
using YultService::Utils::Helper;

// The search moves past a port lost between probe and listener; past the last port, none is free.
TEST(DynamicPort, PortTakenBetweenProbeAndListener)
{
    for (const int from : {49152, 65535}) {
        SCOPED_TRACE(from);
        asio::io_context ioContext;
        YultService::SocketCommunication::LinkJob job;
        job.dynamicPort = true;
        const auto target = YultService::Guard::TargetProcess::pin(getpid());
        std::optional<asio::ip::tcp::acceptor> thief;
        std::optional<YultService::SocketCommunication::Server> server;
        const int firstFree = YultPeer::firstFreePort(from); // the server's first choice: -D's first free from 49152
        // A probe that lets another listener take the first port it finds before the server binds it.
        const auto steal = [&](int first) {
            const int port = Helper::getFreePort(from == 65535 ? from : first);
            if (!thief) {
                thief.emplace(ioContext,
                              asio::ip::tcp::endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(port)));
            }
            return port;
        };
        try {
            const auto port = startServer(ioContext, server, job, target, steal, nullptr);
            ASSERT_TRUE(thief && server && from != 65535);
            EXPECT_EQ(thief->local_endpoint().port(), firstFree);
            EXPECT_GT(port, firstFree);
            EXPECT_TRUE(AppPeer().connectTo(port)); // the server listens there
        } catch (const std::system_error&) {
            ADD_FAILURE() << "the lost port was not moved past";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(from, 65535);
            EXPECT_STREQ(error.what(), "Faile to find free port.");
            EXPECT_TRUE(thief) << "port 65535 was taken before the test";
            EXPECT_FALSE(server);
        }
    }
}

/// A verbose dynamic-port job on this process, with short deadlines; standard output and error captured.
class ServerRun : public CapturedConsole
{
  public:
    ServerRun()
    {
        job.pid = getpid();
        job.verbose = job.dynamicPort = true;
        job.command = "start-profiling";
        job.deadlines.connection = job.deadlines.session = std::chrono::milliseconds(100);
        port = startServer(ioContext, server, job, target, Helper::getFreePort, [this](int) { ioContext.stop(); });
    }
    /// Runs the loop until the run ends; the server's deadline's error, or empty.
    std::string run()
    {
        try {
            ioContext.run_for(std::chrono::seconds(5));
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "";
    }

    YultService::SocketCommunication::LinkJob job;
    const YultService::Guard::TargetProcess target = YultService::Guard::TargetProcess::pin(getpid());
    asio::io_context ioContext;
    std::optional<YultService::SocketCommunication::Server> server;
    unsigned short port = 0;
};

// An accept that fails is reported at once and, with -V, named when the deadline comes.
TEST(Server, FailedAcceptRecordedForTheDeadline)
{
    ServerRun server;
    // A sanitizer's first look at a type opens a pipe: its looks are taken while descriptors are left.
    server.ioContext.poll();
    YultService::Logger::Log::error(asio::error_code(EMFILE, asio::system_category()).message());
    server.errText.str("");
    AppPeer app;
    ASSERT_TRUE(app.connectTo(server.port));
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int lowestFree = open("/dev/null", O_RDONLY);
    close(lowestFree);
    const rlimit none{static_cast<rlim_t>(lowestFree), limit.rlim_max};
    setrlimit(RLIMIT_NOFILE, &none);
    for (int round = 0; round < 100 && server.errText.str().empty(); ++round) {
        server.ioContext.poll(); // the connection is queued: the first round takes it
    }
    setrlimit(RLIMIT_NOFILE, &limit);
    const std::string thrown = server.run();
    EXPECT_EQ(lines({thrown}), expired);
    EXPECT_EQ(server.errText.str(),
              "YultService: doAccept - Error accepting connection. error Message: Too many open files\n");
    EXPECT_NE(server.outText.str().find("accepting a connection failed: Too many open files\n"), std::string::npos)
        << server.outText.str();
}

} // namespace
} // namespace YultTest
