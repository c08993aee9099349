// Benchmark of the agent against an application played by this process:
//  1. trace reception throughput, beside a plain 1 KiB recv + write loop fed by the same sender;
//  2. the agent's peak resident memory for a 64 MiB trace and a 16 MiB heap summary;
//  3. the wall time of a whole CPU start run, beside the target lookup pipeline alone.
// The agent listens on its fixed port: run under `flock /tmp/yult-ports.lock`.

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t traceSize = std::size_t{64} << 20;
constexpr std::size_t heapSize = std::size_t{16} << 20;
constexpr std::size_t writeSize = std::size_t{64} << 10;
constexpr int throughputRuns = 5;
constexpr int startRuns = 50;
constexpr int waitMs = 20000;
constexpr std::string_view endMarker = "profiler-trace-data-end";

const std::string self = std::to_string(getpid());
const std::string errPath = "/tmp/yult-bench-" + self + ".err";
const std::string tracePath = "/tmp/yult-bench-" + self + ".trace";
const std::string baselinePath = "/tmp/yult-bench-" + self + ".baseline";
std::string tulmHome;
std::vector<std::string> environment;
pid_t liveChild = -1;

void cleanUp()
{
    if (liveChild > 0) {
        kill(liveChild, SIGKILL);
        waitpid(liveChild, nullptr, 0);
    }
    for (const auto& path : {errPath, tracePath, baselinePath, tulmHome + "/apps/" + self}) {
        std::remove(path.c_str());
    }
    rmdir((tulmHome + "/apps").c_str());
    rmdir(tulmHome.c_str());
}

[[noreturn]] void fail(const std::string& what)
{
    std::ifstream err(errPath);
    const std::string agentErr((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "yult-bench: %s\n%s", what.c_str(), agentErr.c_str());
    cleanUp();
    std::exit(1);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// Started like the IDE extension starts it: clean signal mask, output to /dev/null.
pid_t spawn(std::vector<std::string> argv)
{
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    const int failed = posix_spawn(&child, argv[0].c_str(), &files, &attributes, pointers(argv).data(),
                                   pointers(environment).data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        fail("cannot start " + argv[0]);
    }
    return liveChild = child;
}

// The exit status (-1 on timeout or death by a signal); the child's resource use in usage.
int waitChild(pid_t child, rusage* usage = nullptr)
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    pollfd exited{pidfd, POLLIN, 0};
    const bool done = pidfd >= 0 && poll(&exited, 1, waitMs) == 1;
    close(pidfd);
    if (!done) {
        kill(child, SIGKILL);
    }
    int status = 0;
    wait4(child, &status, 0, usage);
    liveChild = -1;
    return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t spawnAgent(const std::vector<std::string>& options)
{
    const char* agent = std::getenv("YULT_AGENT");
    std::vector<std::string> argv{agent != nullptr ? agent : YULT_AGENT_PATH, "-P", self};
    argv.insert(argv.end(), options.begin(), options.end());
    return spawn(argv);
}

bool readable(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, waitMs) == 1;
}

void sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            fail("send failed");
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

void expect(int fd, std::string_view wanted)
{
    char buffer[4096];
    const ssize_t count = readable(fd) ? recv(fd, buffer, sizeof(buffer), 0) : -1;
    const std::string got = count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : "<nothing>";
    if (got != wanted) {
        fail("expected \"" + std::string(wanted) + "\", got \"" + got + "\"");
    }
}

int connectTo(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const timeval bound{waitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        fail("cannot connect to port " + std::to_string(port));
    }
    return fd;
}

// The application's end: SIGUSR1 stays blocked and is read from a signalfd, as the tests do.
struct Peer
{
    int signalFd = -1;
    int socketFd = -1;

    // Waits for the agent's signal and connects to the port it carries.
    void connectAgent()
    {
        signalfd_siginfo info{};
        if (!readable(signalFd) || read(signalFd, &info, sizeof(info)) != sizeof(info)) {
            fail("no signal from the agent");
        }
        socketFd = connectTo(info.ssi_int);
    }

    // hello / hello / handshake-success-ack, then the agent's command.
    void handshake(std::string_view command)
    {
        sendAll(socketFd, "hello");
        expect(socketFd, "hello");
        sendAll(socketFd, "handshake-success-ack");
        expect(socketFd, command);
    }

    // Until the agent has taken a message it does not answer, so the next one is read alone.
    void settle(pid_t agent) const
    {
        const auto until = Clock::now() + 5s;
        int unacknowledged = 1;
        while (ioctl(socketFd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0 && Clock::now() < until) {
            std::this_thread::sleep_for(50us); // the kernel announces no acknowledgement
        }
        while (Clock::now() < until) {
            std::ifstream stat("/proc/" + std::to_string(agent) + "/stat");
            const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const auto close = text.rfind(')');
            if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'R') {
                return;
            }
            std::this_thread::sleep_for(50us); // nor when a process goes to sleep
        }
    }

    void close()
    {
        ::close(socketFd);
        socketFd = -1;
    }
};

// The content: one 64 KiB block of letters, repeated. Letters never form the end marker nor a
// zero byte. Never held whole: whatever this process's memory peaks at, each child it spawns
// inherits as a floor of its ru_maxrss (the kernel records the old image's peak at exec).
std::string contentBlock()
{
    std::string block(writeSize, 'a');
    std::uint32_t state = 12345;
    for (char& c : block) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>('a' + (state >> 24) % 26);
    }
    return block;
}

const std::string block = contentBlock();

// Timed from the first content byte sent until the confirmation has been read.
double stream(int fd, std::size_t size, std::string_view confirmation)
{
    const auto start = Clock::now();
    for (std::size_t offset = 0; offset < size; offset += writeSize) {
        sendAll(fd, std::string_view(block).substr(0, size - offset));
    }
    sendAll(fd, endMarker);
    expect(fd, confirmation);
    return secondsSince(start);
}

off_t sizeOf(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

struct Reception
{
    double seconds;
    long maxRssKiB;
    double cpuSeconds; ///< user + system time of the receiver (for the agent: with its lookup)
};

double cpuSeconds(const rusage& usage)
{
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Reception agentTrace(Peer& peer, std::size_t size)
{
    const pid_t agent = spawnAgent({"-C", "-O"});
    peer.connectAgent();
    peer.handshake("stop-profiling");
    sendAll(peer.socketFd, "profiling-stopped");
    peer.settle(agent);
    sendAll(peer.socketFd, "profiler-trace-metadata:trace-filename:" + tracePath.substr(5) +
                               "#trace-filesize:" + std::to_string(size));
    expect(peer.socketFd, "ack-profiler-trace-metadata");
    const double seconds = stream(peer.socketFd, size, "profiler-trace-file-received");
    rusage usage{};
    const int status = waitChild(agent, &usage);
    peer.close();
    const off_t stored = sizeOf(tracePath);
    std::remove(tracePath.c_str());
    if (status != 0 || stored != static_cast<off_t>(size)) {
        fail("trace run: exit status " + std::to_string(status) + ", stored " + std::to_string(stored));
    }
    return {seconds, usage.ru_maxrss, cpuSeconds(usage)};
}

Reception agentHeap(Peer& peer, std::size_t size)
{
    const pid_t agent = spawnAgent({"-M", "-J"});
    peer.connectAgent();
    peer.handshake("get-js-heapinfo");
    sendAll(peer.socketFd, "js-heapinfo-metadata:js-heapinfo-size:" + std::to_string(size));
    expect(peer.socketFd, "js-heapinfo-metadata-ack");
    const double seconds = stream(peer.socketFd, size, "js-heapinfo-received");
    rusage usage{};
    const int status = waitChild(agent, &usage);
    peer.close();
    if (status != 0) {
        fail("heap run: exit status " + std::to_string(status));
    }
    return {seconds, usage.ru_maxrss, cpuSeconds(usage)};
}

// The reference receiver: a child process reading 1 KiB at a time and writing each read
// straight to a file, then confirming like the agent does.
Reception baselineTrace(std::size_t size)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("baseline listener");
    }
    const pid_t child = liveChild = fork();
    if (child == 0) {
        const int connection = accept(listener, nullptr, nullptr);
        const int file = open(baselinePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        char buffer[1024];
        for (std::size_t received = 0; received < size;) {
            const ssize_t count = recv(connection, buffer, sizeof(buffer), 0);
            if (count <= 0) {
                _exit(1);
            }
            const std::size_t keep = std::min(static_cast<std::size_t>(count), size - received);
            if (write(file, buffer, keep) != static_cast<ssize_t>(keep)) {
                _exit(1);
            }
            received += static_cast<std::size_t>(count);
        }
        close(file);
        const std::string_view confirmation = "profiler-trace-file-received";
        send(connection, confirmation.data(), confirmation.size(), MSG_NOSIGNAL);
        shutdown(connection, SHUT_WR);
        while (recv(connection, buffer, sizeof(buffer), 0) > 0) {
        }
        _exit(0);
    }
    const int fd = connectTo(ntohs(address.sin_port));
    close(listener);
    const double seconds = stream(fd, size, "profiler-trace-file-received");
    close(fd);
    rusage usage{};
    const int status = waitChild(child, &usage);
    const off_t stored = sizeOf(baselinePath);
    std::remove(baselinePath.c_str());
    if (status != 0 || stored != static_cast<off_t>(size)) {
        fail("baseline run failed");
    }
    return {seconds, usage.ru_maxrss, cpuSeconds(usage)};
}

double cpuStartRun(Peer& peer)
{
    const auto start = Clock::now();
    const pid_t agent = spawnAgent({"-C", "-S"});
    peer.connectAgent();
    peer.handshake("start-profiling");
    sendAll(peer.socketFd, "profiling-started");
    const int status = waitChild(agent);
    const double seconds = secondsSince(start);
    peer.close();
    if (status != 0) {
        fail("CPU start run: exit status " + std::to_string(status));
    }
    return seconds;
}

// What the agent's validation runs, alone: the same shell, the same PATH and TULM_HOME.
double lookupRun()
{
    const auto start = Clock::now();
    const int status = waitChild(spawn({"/bin/sh", "-c", "tulm list | grep -w " + self}));
    const double seconds = secondsSince(start);
    if (status != 0) {
        fail("lookup pipeline: exit status " + std::to_string(status));
    }
    return seconds;
}

void setUpEnvironment()
{
    char pattern[] = "/tmp/yult-bench-tulm-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        fail("mkdtemp failed");
    }
    tulmHome = pattern;
    mkdir((tulmHome + "/apps").c_str(), 0755);
    std::ofstream(tulmHome + "/apps/" + self) << "com.olva.bench";
    const std::string tulmBin = YULT_BUILD_DIR "/tulm-bin";
    if (access((tulmBin + "/tulm").c_str(), X_OK) != 0) {
        fail("no lifecycle tool stand-in at " + tulmBin + "/tulm");
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.rfind("PATH=", 0) != 0 && text.rfind("TULM_HOME=", 0) != 0) {
            environment.emplace_back(text);
        }
    }
    const char* path = std::getenv("PATH");
    environment.push_back("PATH=" + tulmBin + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    environment.push_back("TULM_HOME=" + tulmHome);
}

void row(const std::string& figure, const std::string& value, const std::string& target, const char* verdict)
{
    std::printf("%-44s %-36s %-8s %s\n", figure.c_str(), value.c_str(), target.c_str(), verdict);
}

std::string format(const char* pattern, double a, double b = 0)
{
    char text[64];
    std::snprintf(text, sizeof(text), pattern, a, b);
    return text;
}

} // namespace

int main()
{
    // Blocked before anything else, so the agent's signal waits for the signalfd.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    Peer peer;
    peer.signalFd = signalfd(-1, &usr1, SFD_CLOEXEC);
    setUpEnvironment();

    std::vector<double> agentSeconds;
    std::vector<double> baselineSeconds;
    std::vector<double> agentCpu;
    std::vector<double> baselineCpu;
    long traceRss = 0;
    for (int run = 0; run < throughputRuns; ++run) {
        // Alternating the order spreads drift (page cache writeback, frequency) over both.
        const auto agentRun = [&] {
            const Reception r = agentTrace(peer, traceSize);
            agentSeconds.push_back(r.seconds);
            agentCpu.push_back(r.cpuSeconds);
            traceRss = std::max(traceRss, r.maxRssKiB);
        };
        if (run % 2 == 0) {
            agentRun();
        }
        const Reception b = baselineTrace(traceSize);
        baselineSeconds.push_back(b.seconds);
        baselineCpu.push_back(b.cpuSeconds);
        if (run % 2 == 1) {
            agentRun();
        }
    }
    const Reception heap = agentHeap(peer, heapSize);
    // What any child spawned from here reports at least: the calibration of the two figures above.
    rusage floor{};
    waitChild(spawn({"/bin/true"}), &floor);

    std::vector<double> startSeconds;
    std::vector<double> lookupSeconds;
    for (int run = 0; run < startRuns; ++run) {
        startSeconds.push_back(cpuStartRun(peer));
        lookupSeconds.push_back(lookupRun());
    }
    cleanUp();

    const double mb = static_cast<double>(traceSize) / 1e6;
    const double agentRate = mb / median(agentSeconds);
    const double baselineRate = mb / median(baselineSeconds);
    const double startMs = median(startSeconds) * 1e3;
    const double lookupMs = median(lookupSeconds) * 1e3;
    // The rate's spread over the runs and the receiver's CPU time, which a loaded machine moves less.
    const auto rate = [mb](const std::vector<double>& seconds, const std::vector<double>& cpu) {
        const auto [fastest, slowest] = std::minmax_element(seconds.begin(), seconds.end());
        return format("%.1f MB/s [%.0f-", mb / median(seconds), mb / *slowest) +
               format("%.0f] CPU %.0f ms", mb / *fastest, median(cpu) * 1e3);
    };
    const auto kib = [](long k) {
        return format("%.0f KiB (%.1f MiB)", static_cast<double>(k), static_cast<double>(k) / 1024);
    };
    const auto verdict = [](bool met) { return met ? "PASS" : "MISS"; };
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;

    std::printf("YultService benchmark: medians of %d (trace) and %d (start) runs; MB = 10^6 bytes; "
                "load average %.2f on %ld cores\n",
                throughputRuns, startRuns, load, sysconf(_SC_NPROCESSORS_ONLN));
    row("figure", "value", "target", "result");
    row("64 MiB trace, agent (-C -O)", rate(agentSeconds, agentCpu), "", "");
    row("64 MiB trace, baseline 1 KiB recv+write", rate(baselineSeconds, baselineCpu), "", "");
    row("  ratio agent/baseline", format("%.2f", agentRate / baselineRate), ">= 0.80",
        verdict(agentRate / baselineRate >= 0.8));
    row("agent peak RSS, 64 MiB trace", kib(traceRss), "< 8 MiB", verdict(traceRss < 8 * 1024));
    row("agent peak RSS, 16 MiB heap summary (-M -J)", kib(heap.maxRssKiB), "none", "-");
    row("  ru_maxrss floor (/bin/true spawned alike)", kib(floor.ru_maxrss), "", "");
    row("  16 MiB heap summary reception", format("%.1f MB/s", static_cast<double>(heapSize) / 1e6 / heap.seconds),
        "", "");
    row("CPU start run, whole (-C -S)", format("%.2f ms", startMs), "", "");
    row("lookup pipeline alone", format("%.2f ms", lookupMs), "", "");
    row("  ratio start/lookup", format("%.2f", startMs / lookupMs), "<= 1.50", verdict(startMs / lookupMs <= 1.5));
    return 0;
}
