// Where the app takes its control signals from. Every mode hands the same
// record to the conversation code, so only the waiting differs.
#pragma once

#include "Options.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace OlvaAppSim {

// What a conversation needs to know about one signal.
struct WakeUp
{
    int signo = 0;
    int code = 0;           // si_code: SI_QUEUE when the value is meaningful
    std::int32_t value = 0; // si_value.sival_int: the agent's port
};

class SignalSource
{
  public:
    // Puts the mode's disposition and mask in place for SIGUSR1, SIGTERM and
    // SIGINT; throws std::system_error when it cannot. Must run before any
    // other thread starts, so every thread inherits the mask.
    static std::unique_ptr<SignalSource> create(SignalMode mode);

    virtual ~SignalSource() = default;
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    // Waits for the next signal; nothing when signals can no longer be taken.
    virtual std::optional<WakeUp> next() = 0;

  protected:
    SignalSource() = default;
};

} // namespace OlvaAppSim
