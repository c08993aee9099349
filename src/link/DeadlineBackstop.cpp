#include "link/DeadlineBackstop.h"

#include "logger/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace YultService::SocketCommunication {

// The loop has one thread, and a write(2) to a pipe that nobody reads blocks it for good, asio's
// timers with it. A timer signal interrupts that write wherever it is. Its handler does only what
// is async-signal-safe: it reads the clock, re-arms the timer while the deadline has moved on,
// and otherwise writes the prepared line with write(2) and ends the process with _exit, without
// flushing streams that may be the stuck ones.
//
// The line itself must not block the end either: when standard error is a pipe or terminal that
// nobody reads (often the same one as a stuck standard output), it is written only if there is
// room for it, and the write is bounded by one more tick of the timer, which then only ends the
// process. The line is given up; the status is not.
//
// It fires a second after the deadline: a loop that is not stuck has met the deadline by then
// and ended the run itself, with its buffered output flushed. So in practice it acts only for a
// stuck loop, or for a run stuck in its final flush (then `ending` has been said and the line is
// already out).
//
// The timer runs on CLOCK_MONOTONIC, the clock under std::chrono::steady_clock on Linux.

namespace {

constexpr std::int64_t graceNs = 1'000'000'000;
constexpr std::int64_t lineWriteNs = 100'000'000;
constexpr std::size_t lineCapacity = 512;

static_assert(std::atomic<std::int64_t>::is_always_lock_free, "the handler reads the deadline");

timer_t timer{};
volatile std::sig_atomic_t installed = 0;
volatile std::sig_atomic_t endingStatus = -1;
volatile std::sig_atomic_t writingLine = 0;
std::atomic<std::int64_t> dueNs{INT64_MAX};
// Changed only with SIGALRM blocked, so the handler never sees them half-written.
char line[lineCapacity];
std::size_t lineLength = 0;
int lineStatus = 0;

std::int64_t dueAfter(DeadlineBackstop::Clock::time_point expiry)
{
    const auto sinceStart = std::chrono::duration_cast<std::chrono::nanoseconds>(expiry.time_since_epoch()).count();
    return sinceStart > INT64_MAX - graceNs ? INT64_MAX : sinceStart + graceNs;
}

void setTimer(std::int64_t at)
{
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(at / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(at % 1'000'000'000);
    timer_settime(timer, TIMER_ABSTIME, &when, nullptr);
}

void writeLine()
{
    pollfd output{STDERR_FILENO, POLLOUT, 0};
    if (poll(&output, 1, 0) != 1 || (output.revents & POLLOUT) == 0) {
        return;
    }
    for (std::size_t written = 0; written < lineLength;) {
        const ssize_t count = write(STDERR_FILENO, line + written, lineLength - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        written += static_cast<std::size_t>(count);
    }
}

} // namespace

void DeadlineBackstop::onAlarm(int)
{
    const int savedErrno = errno;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t due = dueNs.load(std::memory_order_relaxed);
    if (static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec < due) {
        setTimer(due);
        errno = savedErrno;
        return;
    }
    if (endingStatus >= 0) {
        _exit(endingStatus);
    }
    if (writingLine) {
        _exit(lineStatus); // the line's write is stuck after all
    }
    writingLine = 1;
    setTimer(static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec + lineWriteNs);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm, nullptr); // so that the next tick can interrupt the write
    writeLine();
    _exit(lineStatus);
}

namespace {

class AlarmBlocked
{
  public:
    AlarmBlocked()
    {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    }
    ~AlarmBlocked() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    AlarmBlocked(const AlarmBlocked&) = delete;
    AlarmBlocked& operator=(const AlarmBlocked&) = delete;

  private:
    sigset_t previous{};
};

} // namespace

// The timer signal's handler is in place (configureSignals); this is the timer that sends it.
void DeadlineBackstop::install()
{
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) == 0) {
        installed = 1;
    }
}

void DeadlineBackstop::arm(Clock::time_point expiry, const std::string& message, int status)
{
    if (!installed) {
        return;
    }
    const AlarmBlocked blocked;
    const std::string text = Logger::Log::lineOf(message);
    lineLength = std::min(text.size(), lineCapacity);
    std::memcpy(line, text.data(), lineLength);
    lineStatus = status;
    dueNs.store(dueAfter(expiry), std::memory_order_relaxed);
    setTimer(dueNs.load(std::memory_order_relaxed));
}

// The timer stays where it is: when it fires early, the handler finds the later deadline and
// waits again, as the loop's own deadline wait does. Deadlines only move later.
void DeadlineBackstop::postpone(Clock::time_point expiry)
{
    if (installed) {
        dueNs.store(dueAfter(expiry), std::memory_order_relaxed);
    }
}

void DeadlineBackstop::ending(int status) { endingStatus = status; }

} // namespace YultService::SocketCommunication
