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

/// A probe that lets another listener take the first port it finds before the server binds it.
struct ThievingProbe
{
    asio::io_context& ioContext;
    std::optional<Listener>& thief;

    int operator()(int from) const
    {
        const int port = Helper::getFreePort(from);
        if (!thief) {
            thief.emplace(ioContext,
                          asio::ip::tcp::endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(port)));
        }
        return port;
    }
};

std::shared_ptr<YultService::InputOptions::InputParser> dynamicPortOptions()
{
    auto options = std::make_shared<YultService::InputOptions::InputParser>();
    options->setDynamicPort(true);
    return options;
}

TEST(DynamicPort, PortTakenBetweenProbeAndListenerMovesTheSearchOn)
{
    asio::io_context ioContext;
    const auto options = dynamicPortOptions();
    const auto target = YultService::Guard::TargetProcess::pin(getpid());
    std::optional<Listener> thief;
    std::optional<YultService::SocketCommunication::Server> server;
    const unsigned short port = startServer(ioContext, server, options, target, ThievingProbe{ioContext, thief});
    ASSERT_TRUE(thief && server);
    EXPECT_GT(port, thief->local_endpoint().port());
    AppPeer peer;
    EXPECT_TRUE(peer.connectTo(port)); // the server listens there
}

TEST(DynamicPort, LastPortTakenBetweenProbeAndListenerMeansNoFreePort)
{
    asio::io_context ioContext;
    const auto options = dynamicPortOptions();
    const auto target = YultService::Guard::TargetProcess::pin(getpid());
    std::optional<Listener> thief;
    std::optional<YultService::SocketCommunication::Server> server;
    const ThievingProbe steal{ioContext, thief};
    try {
        startServer(ioContext, server, options, target, [&steal](int from) { return steal(std::max(from, 65535)); });
        ADD_FAILURE() << "a server started";
    } catch (const std::system_error&) {
        ADD_FAILURE() << "the lost port was not moved past";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Faile to find free port.");
    }
    EXPECT_TRUE(thief) << "port 65535 was taken before the test";
    EXPECT_FALSE(server);
}

} // namespace
} // namespace YultTest
