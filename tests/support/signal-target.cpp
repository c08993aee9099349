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

#include <csignal>
#include <cstdio>
#include <cstdlib>
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

[[noreturn]] void loopInPpoll()
{
    const sigset_t callMask = setOf({SIGUSR1});
    const timespec timeout{0, 200'000'000};
    for (;;) {
        ppoll(nullptr, 0, &timeout, &callMask);
    }
}

[[noreturn]] void loopInEpollPwait()
{
    const sigset_t callMask = setOf({SIGUSR1});
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    for (;;) {
        epoll_pwait(epoll, &event, 1, 200, &callMask);
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

timespec operator+(timespec at, long nanoseconds)
{
    at.tv_nsec += nanoseconds;
    at.tv_sec += at.tv_nsec / 1'000'000'000;
    at.tv_nsec %= 1'000'000'000;
    return at;
}

// Each thread spends the first half of every 4 ms in sigtimedwait and the second asleep, with
// SIGUSR1 unblocked throughout. The threads keep their phases spread over the period on the
// clock, so at any moment about half of them are between polls.
constexpr int pollers = 8;
constexpr long period = 4'000'000;

void pollUnblocked(timespec start)
{
    const sigset_t waited = setOf({SIGUSR1});
    for (timespec next = start;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        next = next + period / 2;
        const long left = (next.tv_sec - now.tv_sec) * 1'000'000'000 + next.tv_nsec - now.tv_nsec;
        if (left > 0) {
            const timespec timeout{0, left};
            sigtimedwait(&waited, nullptr, &timeout);
        }
        next = next + period / 2;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

[[noreturn]] void pollUnblockedInThreads()
{
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 1; i < pollers; ++i) {
        std::thread(pollUnblocked, start + i * (period / pollers)).detach();
    }
    pollUnblocked(start);
    std::abort();
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
    if (mode == "ppoll") {
        loopInPpoll();
    } else if (mode == "epoll-pwait") {
        loopInEpollPwait();
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
