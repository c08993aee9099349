/* rss-launch REPORT COMMAND [ARGUMENT...]
 *
 * Runs COMMAND as this program's only child, waits for it, writes one line to the file REPORT,
 *     maxrss-kib <peak resident size in KiB> user-us <user CPU> system-us <system CPU>
 * of the command alone (wait4), and exits with the command's status (128 + the signal's number
 * when a signal ended it; 127 when it could not be started).
 *
 * Why a launcher: at exec the kernel keeps the old image's peak resident size as the new one's
 * first ru_maxrss, so a command started straight from a large process reports at least that
 * process's size. Started from this small program it reports its own.
 */
#define _DEFAULT_SOURCE

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static long microseconds(struct timeval t) { return (long)t.tv_sec * 1000000L + (long)t.tv_usec; }

/* The child ends with this launcher, so a launcher killed on a timeout leaves nothing behind. */
static void runCommand(pid_t launcher, char** command)
{
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != launcher) {
        _exit(127);
    }
    execvp(command[0], command);
    perror(command[0]);
    _exit(127);
}

static int report(const char* path, const struct rusage* usage)
{
    FILE* file = fopen(path, "w");
    if (file == NULL) {
        perror(path);
        return -1;
    }
    fprintf(file, "maxrss-kib %ld user-us %ld system-us %ld\n", usage->ru_maxrss, microseconds(usage->ru_utime),
            microseconds(usage->ru_stime));
    return fclose(file);
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fputs("usage: rss-launch REPORT COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const pid_t launcher = getpid();
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 127;
    }
    if (child == 0) {
        runCommand(launcher, argv + 2);
    }
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("wait4");
            return 127;
        }
    }
    if (report(argv[1], &usage) != 0) {
        return 127;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
