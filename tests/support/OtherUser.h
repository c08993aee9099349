#pragma once

#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace YultTest {

constexpr uid_t nobody = 65534;
constexpr uid_t stranger = 65533;

/// A process of user `uid` (another user, or this process's own) that runs `body`, whose result
/// is its exit status. SIGUSR1 stays blocked in it, as in the test process. A Child is this
/// process's child; an Orphan is no descendant of it: a grandchild that runs `body` only once its
/// parent has exited and it has been handed to another reaper.
class OtherUser
{
  public:
    enum Lineage
    {
        Child,
        Orphan,
    };

    OtherUser(uid_t uid, const std::function<int()>& body, Lineage lineage = Child)
    {
        if (lineage == Child) {
            child = fork();
            if (child == 0) {
                _exit(become(uid) ? body() : 99);
            }
            return;
        }
        int go[2] = {-1, -1};
        int result[2] = {-1, -1};
        if (pipe2(go, O_CLOEXEC) != 0 || pipe2(result, O_CLOEXEC) != 0) {
            return;
        }
        const pid_t parent = fork();
        if (parent == 0) {
            if (fork() == 0) {
                ::close(go[1]);
                ::close(result[0]);
                pollfd told{go[0], POLLIN, 0};
                char byte = 0;
                const bool orphaned = poll(&told, 1, 10000) == 1 && read(go[0], &byte, 1) == 1;
                const unsigned char status = orphaned && become(uid) ? static_cast<unsigned char>(body()) : 99;
                _exit(write(result[1], &status, 1) == 1 ? 0 : 1);
            }
            _exit(0);
        }
        ::close(go[0]);
        ::close(result[1]);
        // The parent's exit hands the grandchild over before waitpid returns.
        bool orphaned = parent > 0 && waitpid(parent, nullptr, 0) == parent;
        if (orphaned) {
            const char byte = 1;
            orphaned = write(go[1], &byte, 1) == 1;
        }
        ::close(go[1]);
        resultFd = result[0];
    }
    ~OtherUser()
    {
        if (resultFd >= 0) {
            ::close(resultFd);
        }
    }
    OtherUser(const OtherUser&) = delete;
    OtherUser& operator=(const OtherUser&) = delete;

    /// Its exit status; its body's own waits are bounded (an Orphan's within a minute).
    int wait()
    {
        if (resultFd >= 0) {
            pollfd done{resultFd, POLLIN, 0};
            unsigned char status = 0;
            return poll(&done, 1, 60000) == 1 && read(resultFd, &status, 1) == 1 ? status : -1;
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    /// A Child's pid.
    pid_t pid() const { return child; }

  private:
    static bool become(uid_t uid)
    {
        return uid == geteuid() || (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0);
    }

    pid_t child = -1;
    int resultFd = -1;
};

} // namespace YultTest
