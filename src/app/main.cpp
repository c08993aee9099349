#include "app/Job.h"
#include "app/OptionRules.h"
#include "app/ProcessSignals.h"
#include "link/DeadlineBackstop.h"
#include "logger/Log.h"

#include <exception>
#include <memory>

int main(int argc, char** argv)
{
    using namespace YultService;
    using SocketCommunication::DeadlineBackstop;
    configureSignals();
    auto options = std::make_shared<InputOptions::InputParser>();
    options->parse(argc, argv);
    if (!validateParameters(options)) {
        return 1;
    }
    try {
        processCommand(options);
    } catch (const std::exception& error) {
        // Errors of the job (no free port, listener setup, signal, no connection in time):
        // one error line carrying the message, then a failure status.
        Logger::Log::error(error.what());
        DeadlineBackstop::ending(1);
        return 1;
    }
    DeadlineBackstop::ending(0);
    return 0;
}
