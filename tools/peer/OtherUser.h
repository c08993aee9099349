#pragma once

#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace YultPeer {

constexpr uid_t nobody = 65534;
constexpr uid_t stranger = 65533;

/// A process of user `uid` running `body` (its exit status): a Child, or an Orphan reparented before it runs.
class OtherUser
{
  public:
    enum Lineage
    {
        Child,
        Orphan
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
            pollfd told{go[0], POLLIN, 0};
            char byte = 0;
            const bool orphaned = fork() == 0 && poll(&told, 1, 10000) == 1 && read(go[0], &byte, 1) == 1;
            const unsigned char status = orphaned && become(uid) ? static_cast<unsigned char>(body()) : 99;
            _exit(orphaned && write(result[1], &status, 1) == 1 ? 0 : 1);
        }
        const char byte = 1;
        resultFd = parent > 0 && waitpid(parent, nullptr, 0) == parent && write(go[1], &byte, 1) == 1 ? result[0] : -1;
        for (const int fd : {go[0], go[1], result[1], resultFd == -1 ? result[0] : -1}) {
            ::close(fd);
        }
    }
    ~OtherUser() { ::close(resultFd); } // nothing, when it is -1
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

} // namespace YultPeer
