#include "SignalSource.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace OlvaAppSim {
namespace {

constexpr int controlSignalNumbers[] = {SIGUSR1, SIGTERM, SIGINT};

// How often the polling mode comes back from sigtimedwait empty-handed.
constexpr timespec pollInterval{0, 1'000'000};

[[noreturn]] void fail(int error, const char* what) { throw std::system_error(error, std::generic_category(), what); }

sigset_t controlSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signo : controlSignalNumbers) {
        sigaddset(&signals, signo);
    }
    return signals;
}

// The default action for each signal (a parent may have left them ignored),
// so the mask or the handler alone is what keeps SIGUSR1 from killing us.
void setDisposition(void (*action)(int, siginfo_t*, void*))
{
    struct sigaction disposition = {};
    sigemptyset(&disposition.sa_mask);
    if (action != nullptr) {
        disposition.sa_sigaction = action;
        // SA_RESTART: the conversation's blocking calls must not fail
        // because SIGTERM came in the middle of one.
        disposition.sa_flags = SA_SIGINFO | SA_RESTART;
    } else {
        disposition.sa_handler = SIG_DFL;
    }
    for (const int signo : controlSignalNumbers) {
        if (sigaction(signo, &disposition, nullptr) != 0) {
            fail(errno, "sigaction");
        }
    }
}

void maskControlSignals(int how)
{
    const sigset_t signals = controlSignals();
    const int error = pthread_sigmask(how, &signals, nullptr);
    if (error != 0) {
        fail(error, "pthread_sigmask");
    }
}

WakeUp wakeUpFrom(const siginfo_t& info) { return {info.si_signo, info.si_code, info.si_value.sival_int}; }

// Common ground of the modes that keep the signals blocked in every thread.
class BlockedSource : public SignalSource
{
  protected:
    BlockedSource()
    {
        setDisposition(nullptr);
        maskControlSignals(SIG_BLOCK);
    }

    const sigset_t signals = controlSignals();
};

class SignalfdSource final : public BlockedSource
{
  public:
    SignalfdSource() : fd(signalfd(-1, &signals, SFD_CLOEXEC))
    {
        if (fd < 0) {
            fail(errno, "signalfd");
        }
    }
    ~SignalfdSource() override { close(fd); }

    std::optional<WakeUp> next() override
    {
        signalfd_siginfo info{};
        ssize_t got = 0;
        do {
            got = read(fd, &info, sizeof info);
        } while (got < 0 && errno == EINTR);
        if (got != static_cast<ssize_t>(sizeof info)) {
            return std::nullopt;
        }
        return WakeUp{static_cast<int>(info.ssi_signo), info.ssi_code, info.ssi_int};
    }

  private:
    int fd;
};

// sigwaitinfo() lifts the block for as long as it waits, which is why this
// mode waits on a thread of its own while the main thread keeps the block.
class SigwaitinfoSource final : public BlockedSource
{
  public:
    std::optional<WakeUp> next() override
    {
        siginfo_t info{};
        int signo = -1;
        do {
            signo = sigwaitinfo(&signals, &info);
        } while (signo < 0 && errno == EINTR);
        return signo < 0 ? std::nullopt : std::optional<WakeUp>(wakeUpFrom(info));
    }
};

class SigtimedwaitSource final : public BlockedSource
{
  public:
    std::optional<WakeUp> next() override
    {
        for (;;) {
            siginfo_t info{};
            if (sigtimedwait(&signals, &info, &pollInterval) >= 0) {
                return wakeUpFrom(info);
            }
            if (errno != EAGAIN && errno != EINTR) {
                return std::nullopt;
            }
        }
    }
};

// The handler's end of the self-pipe; -1 once nobody reads it any more.
std::atomic<int> handlerPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free fd");

void onControlSignal(int signo, siginfo_t* info, void*)
{
    // Only async-signal-safe work here: one write() of a fixed-size record,
    // which a pipe keeps whole (it is far below PIPE_BUF).
    const int savedErrno = errno;
    const WakeUp wakeUp{signo, info->si_code, info->si_value.sival_int};
    const int fd = handlerPipe.load();
    if (fd >= 0) {
        const ssize_t written = write(fd, &wakeUp, sizeof wakeUp);
        static_cast<void>(written);
    }
    errno = savedErrno;
}

class HandlerSource final : public SignalSource
{
  public:
    HandlerSource()
    {
        // The write end never blocks: a handler stuck on a full pipe would
        // hang whichever thread it interrupted.
        if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
            fail(errno, "pipe");
        }
        handlerPipe.store(fds[1]);
        setDisposition(onControlSignal);
        maskControlSignals(SIG_UNBLOCK);
    }
    ~HandlerSource() override
    {
        handlerPipe.store(-1);
        close(fds[0]);
        close(fds[1]);
    }

    std::optional<WakeUp> next() override
    {
        WakeUp wakeUp;
        ssize_t got = 0;
        do {
            got = read(fds[0], &wakeUp, sizeof wakeUp);
        } while (got < 0 && errno == EINTR);
        return got == static_cast<ssize_t>(sizeof wakeUp) ? std::optional<WakeUp>(wakeUp) : std::nullopt;
    }

  private:
    int fds[2] = {-1, -1};
};

} // namespace

std::unique_ptr<SignalSource> SignalSource::create(SignalMode mode)
{
    switch (mode) {
    case SignalMode::handler:
        return std::make_unique<HandlerSource>();
    case SignalMode::sigwaitinfo:
        return std::make_unique<SigwaitinfoSource>();
    case SignalMode::sigtimedwait:
        return std::make_unique<SigtimedwaitSource>();
    case SignalMode::signalfd:
        break;
    }
    return std::make_unique<SignalfdSource>();
}

} // namespace OlvaAppSim
