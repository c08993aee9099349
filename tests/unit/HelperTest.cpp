#include "utils/Helper.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/syscall.h>

#include <string>

namespace YultService::Utils {
namespace {

TEST(ProcessListing, AppUserLineWithThePid)
{
    const std::string header = "UID PID PPID C STIME TTY TIME CMD\n";
    const struct
    {
        std::string listing;
        bool listed;
    } cases[] = {
        {header + "root 1 0 0 09:00 ? 00:00:02 /sbin/init\napp_user  42  1  0 10:00 ?  00:00:01 /usr/bin/app", true},
        {"app_user\t42\t1\n", true},
        {"web_app_user 42 1 0 10:00 ? 00:00:01 app\n", false},  // another user's process
        {"app_user 1 42 0 10:00 ? 00:00:01 app\n", false},      // 42 is the parent
        {"app_user 42\n", false},                               // no parent column
        {" app_user 42 1\n", false},                            // not at the start of the line
        {"app_user 99999999999 1\napp_user 42 1\n", true},      // a pid too long for an int is skipped
        {"app_user 420 1\n", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Helper::listsAppUserProcess(c.listing, 42), c.listed) << c.listing;
    }
}

TEST(SignalState, ProfilerSignalBitOfMaskLine)
{
    const std::string status = "Name:\tapp\nSigPnd:\t0000000000000000\nSigBlk:\t0000000000000200\n"
                               "SigIgn:\t0000000000001000\nSigCgt:\t0000000000000000";
    EXPECT_EQ(Helper::profilerSignalInMask(status, "SigBlk:"), true); // bit 10 is SIGUSR1
    EXPECT_EQ(Helper::profilerSignalInMask(status, "SigIgn:"), false);
    EXPECT_EQ(Helper::profilerSignalInMask(status, "SigCgt:"), false); // the last line, without a newline
    EXPECT_EQ(Helper::profilerSignalInMask(status, "ShdPnd:"), std::nullopt);
    EXPECT_EQ(Helper::profilerSignalInMask("SigCgt:\tfffffffffffffdff\n", "SigCgt:"), false);
}

TEST(SignalState, WaitingForSignalsByAnyOfThreeSigns)
{
    const std::string call = std::to_string(SYS_rt_sigtimedwait) + " 0x7ffd1 0x7ffd2 0x0 0x8 0x0 0x7ffd0 0x4a1";
    const struct
    {
        std::string wchan, stack, syscall;
        bool waiting;
    } cases[] = {
        {"do_sigtimedwait.isra.0", "", "", true},
        {"0", "[<0>] do_sigtimedwait+0x156/0x1f0\n[<0>] __x64_sys_rt_sigtimedwait+0xc5/0x130\n", "running", true},
        {"", "", call, true},
        {"0", "", "running", false},
        {"hrtimer_nanosleep", "[<0>] hrtimer_nanosleep+0x9e/0x130\n", "35 0x7ffd 0x0", false},
        {"", "", "-1 0x7ffd 0x4a1", false},
        {"", "", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Helper::isWaitingForSignals(c.wchan, c.stack, c.syscall), c.waiting)
            << c.wchan << " | " << c.stack << " | " << c.syscall;
    }
}

// Lines as /proc/net/tcp and tcp6 write them: the peer at 127.0.0.1:54321 (owner 1000) talking to
// us on 9091, our side of it (owner 0), and a peer with the same port on another address.
TEST(TcpTables, OwnerOfTheSocketWithBothEndpoints)
{
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    const std::uint32_t other = htonl(0x0A000002);
    const std::string peer = Helper::tcpTableEndpoint(loopback, 54321, false);
    const std::string own = Helper::tcpTableEndpoint(loopback, 9091, false);
    EXPECT_EQ(peer, "0100007F:D431");
    EXPECT_EQ(Helper::tcpTableEndpoint(loopback, 9091, true), "0000000000000000FFFF00000100007F:2383");
    const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
    const std::string table = header +
                              "   0: 0100007F:2383 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0  0 1\n"
                              "   1: 0200000A:D431 0100007F:2383 01 00000000:00000000 00:00000000 00000000  1001  0 2\n"
                              "   2: 0100007F:D431 0100007F:2383 01 00000000:00000000 00:00000000 00000000  1000  0 3\n";
    EXPECT_EQ(Helper::tcpSocketOwner(table, peer, own), 1000U);
    EXPECT_EQ(Helper::tcpSocketOwner(table, own, peer), 0U);
    EXPECT_EQ(Helper::tcpSocketOwner(table, Helper::tcpTableEndpoint(other, 54321, false), own), 1001U);
    EXPECT_EQ(Helper::tcpSocketOwner(table, Helper::tcpTableEndpoint(loopback, 54322, false), own), std::nullopt);
    EXPECT_EQ(Helper::tcpSocketOwner(header, peer, own), std::nullopt);
    EXPECT_EQ(Helper::tcpSocketOwner("garbage\n0: x y\n", peer, own), std::nullopt);
}

} // namespace
} // namespace YultService::Utils
