#include "AppPeer.h"
#include "app/Job.h"
#include "utils/Helper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

// The listener's start with -D, in this process: another listener takes the port the probe found.
namespace YultTest {
namespace {

using YultService::startServer;
using YultService::Utils::Helper;
using Listener = asio::ip::tcp::acceptor;
using YultPeer::AppPeer;

// The search moves past a port lost between probe and listener; past the last port, none is free.
TEST(DynamicPort, PortTakenBetweenProbeAndListener)
{
    for (const int from : {49152, 65535}) {
        SCOPED_TRACE(from);
        asio::io_context ioContext;
        YultService::SocketCommunication::LinkJob job;
        job.dynamicPort = true;
        const auto target = YultService::Guard::TargetProcess::pin(getpid());
        std::optional<Listener> thief;
        std::optional<YultService::SocketCommunication::Server> server;
        // A probe that lets another listener take the first port it finds before the server binds it.
        const auto steal = [&](int first) {
            const int port = Helper::getFreePort(std::max(first, from));
            if (!thief) {
                thief.emplace(ioContext,
                              asio::ip::tcp::endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(port)));
            }
            return port;
        };
        try {
            const auto port = startServer(ioContext, server, job, target, steal, nullptr);
            ASSERT_TRUE(thief && server && from != 65535);
            EXPECT_GT(port, thief->local_endpoint().port());
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

} // namespace
} // namespace YultTest
