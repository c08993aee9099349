// signal-target MODE: a process that takes SIGUSR1 in one particular way, for the agent to judge.
// Started with SIGUSR1 unblocked at its default action (as ChildProcess starts every child).
// The ways that would die of the signal leave it at its default action; each sleeps in its call
// for long stretches, so a test can see it there in /proc before it starts the agent.
//   ppoll            one thread, SIGUSR1 unblocked, looping on ppoll(NULL, 0, 200 ms, {SIGUSR1})
//   epoll-pwait      the same with epoll_pwait on an empty epoll set
//   other-signals    one thread, SIGUSR1 unblocked, waiting in sigtimedwait({SIGTERM, SIGHUP})
//   unblocked-poll   threads polling sigtimedwait({SIGUSR1}) without ever blocking SIGUSR1
//   leader-exit      the leader calls pthread_exit while a second thread blocks SIGUSR1, takes it
//                    from a signalfd and answers every agent that signals it
#include "AppPeer.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/epoll.h>
#include <thread>
#include <vector>

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

// Loops on ppoll or epoll_pwait, each given a mask of its own that blocks SIGUSR1.
[[noreturn]] void loopWithCallMask(bool epoll)
{
    const sigset_t callMask = setOf({SIGUSR1});
    const timespec timeout{0, 200'000'000};
    const int epollFd = epoll ? epoll_create1(EPOLL_CLOEXEC) : -1;
    for (epoll_event event{};;) {
        epoll ? epoll_pwait(epollFd, &event, 1, 200, &callMask) : ppoll(nullptr, 0, &timeout, &callMask);
    }
}

[[noreturn]] void waitForOtherSignals()
{
    const sigset_t waited = setOf({SIGTERM, SIGHUP});
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);
    for (;;) {
        sigwaitinfo(&waited, nullptr);
    }
}

// Each thread spends the first half of every 4 ms in sigtimedwait and the second asleep, with
// SIGUSR1 unblocked throughout. The threads keep their phases spread over the period on the
// clock, so at any moment about half of them are between polls.
constexpr int pollers = 8;
constexpr long long period = 4'000'000;

timespec at(long long nanoseconds)
{
    return {static_cast<time_t>(nanoseconds / 1'000'000'000), static_cast<long>(nanoseconds % 1'000'000'000)};
}

long long now()
{
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return clock.tv_sec * 1'000'000'000LL + clock.tv_nsec;
}

[[noreturn]] void pollUnblocked(long long next)
{
    const sigset_t waited = setOf({SIGUSR1});
    for (;;) {
        next += period / 2;
        const timespec timeout = at(std::max(next - now(), 0LL));
        sigtimedwait(&waited, nullptr, &timeout);
        next += period / 2;
        const timespec wake = at(next);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    }
}

[[noreturn]] void pollUnblockedInThreads()
{
    const long long start = now();
    for (int i = 1; i < pollers; ++i) {
        std::thread(pollUnblocked, start + i * period / pollers).detach();
    }
    pollUnblocked(start);
}

// Answers each agent's start command as an application whose profiler has started.
void serveAgents()
{
    AppPeer app;
    for (;;) {
        const int port = app.awaitSignalValue(std::chrono::hours(1));
        if (port > 0 && app.connectTo(port) && app.handshake() == "start-profiling") {
            app.send("profiling-started");
            app.receiveUntilClosed();
        }
        app.close();
    }
}

// The leader ends with SIGUSR1 unblocked: the kernel delivers nothing to an exited thread, so
// only the second one, which blocks it (AppPeer does), decides.
[[noreturn]] void leaveLeaderExited()
{
    std::thread(serveAgents).detach();
    pthread_exit(nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode == "ppoll" || mode == "epoll-pwait") {
        loopWithCallMask(mode == "epoll-pwait");
    } else if (mode == "other-signals") {
        waitForOtherSignals();
    } else if (mode == "unblocked-poll") {
        pollUnblockedInThreads();
    } else if (mode == "leader-exit") {
        leaveLeaderExited();
    }
    std::fprintf(stderr, "usage: signal-target ppoll|epoll-pwait|other-signals|unblocked-poll|leader-exit\n");
    return 2;
}
