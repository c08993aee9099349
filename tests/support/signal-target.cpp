// signal-target MODE: a process taking SIGUSR1 one way (a masking call, unblocked polls, a thread past the leader).
#include "AppPeer.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/epoll.h>
#include <thread>

namespace {

using namespace YultPeer;

sigset_t setOf(std::initializer_list<int> signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : signals) {
        sigaddset(&set, signal);
    }
    return set;
}

[[noreturn]] void loopWithCallMask(bool epoll)
{
    const sigset_t callMask = setOf({SIGUSR1});
    const timespec timeout{0, 200'000'000};
    const int epollFd = epoll ? epoll_create1(EPOLL_CLOEXEC) : -1;
    for (epoll_event event{};;) {
        epoll ? epoll_pwait(epollFd, &event, 1, 200, &callMask) : ppoll(nullptr, 0, &timeout, &callMask);
    }
}

// Half of every 4 ms in sigtimedwait, half asleep, phases spread: about half are between polls at any moment.
constexpr int pollers = 8;
constexpr std::chrono::nanoseconds period = 4ms;

[[noreturn]] void pollUnblocked(std::chrono::steady_clock::time_point next)
{
    const sigset_t waited = setOf({SIGUSR1});
    for (;; next += period) {
        const auto left = std::max(next + period / 2 - std::chrono::steady_clock::now(), std::chrono::nanoseconds(0));
        const timespec timeout{0, static_cast<long>(left.count())};
        sigtimedwait(&waited, nullptr, &timeout);
        std::this_thread::sleep_until(next + period);
    }
}

[[noreturn]] void pollUnblockedInThreads()
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i < pollers; ++i) {
        std::thread(pollUnblocked, start + i * period / pollers).detach();
    }
    pollUnblocked(start);
}

// The kernel delivers nothing to the exited leader, so the second thread (blocking SIGUSR1) decides.
[[noreturn]] void leaveLeaderExited()
{
    std::thread([] {
        for (AppPeer app;; app.close()) {
            const int port = app.awaitSignalValue(std::chrono::hours(1));
            if (port > 0 && app.connectTo(port) && app.handshake() == "start-profiling") {
                app.send("profiling-started");
                app.receiveUntilClosed();
            }
        }
    }).detach();
    pthread_exit(nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "ppoll" || mode == "epoll-pwait") {
        loopWithCallMask(mode == "epoll-pwait");
    } else if (mode == "unblocked-poll") {
        pollUnblockedInThreads();
    } else if (mode == "leader-exit") {
        leaveLeaderExited();
    }
    std::fprintf(stderr, "usage: signal-target ppoll|epoll-pwait|unblocked-poll|leader-exit\n");
    return 2;
}
