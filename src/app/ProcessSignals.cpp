#include "app/ProcessSignals.h"

#include "link/DeadlineBackstop.h"

#include <csignal>

namespace YultService {

namespace {

bool catchSignal(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(signal, &action, nullptr) == 0;
}

} // namespace

// SIGUSR1 is only sent, to the target; the agent takes no disposition for it.
void configureSignals()
{
    // Whoever started us may stop reading (a closed pipe, a caller gone). Its SIGPIPE would end the
    // run with a status that says nothing, after the application was told "received". Caught rather
    // than ignored, so that the commands we start get the default back when they exec: our write
    // then fails with EPIPE, the stream keeps its failed state, and the run ends as it would have.
    catchSignal(SIGPIPE, [](int) {});
    // The deadline backstop's timer signal. Without it the loop's own deadlines still end every
    // run that is not stuck.
    if (catchSignal(SIGALRM, SocketCommunication::DeadlineBackstop::onAlarm)) {
        SocketCommunication::DeadlineBackstop::install();
    }
}

} // namespace YultService
