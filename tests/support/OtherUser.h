#pragma once

#include <functional>
#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace YultTest {

constexpr uid_t nobody = 65534;
constexpr uid_t stranger = 65533;

/// A child of the test process that has become another user and runs `body`, whose result is
/// its exit status. SIGUSR1 stays blocked in it, as in the test process.
class OtherUser
{
  public:
    OtherUser(uid_t uid, const std::function<int()>& body) : child(fork())
    {
        if (child == 0) {
            const bool became = setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
            _exit(became ? body() : 99);
        }
    }
    /// Its exit status; its body's own waits are bounded.
    int wait()
    {
        int status = 0;
        return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid() const { return child; }

  private:
    pid_t child;
};

} // namespace YultTest
