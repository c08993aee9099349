#include "Runs.h"

#include "Launched.h"
#include "Sender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace YultBench {

namespace {

using Clock = std::chrono::steady_clock;

const std::string self = std::to_string(getpid());
const std::string traceName = "yult-bench-" + self + ".trace";
const std::string tracePath = "/tmp/" + traceName;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double cpuSeconds(const rusage& usage)
{
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void expect(bool met, const std::string& what, const std::string& agentErr)
{
    if (!met) {
        throw std::runtime_error(what + (agentErr.empty() ? "" : "; the agent said:\n" + agentErr));
    }
}

// A command that must succeed and print something: its wall time and CPU.
CommandRun timedCommand(const std::vector<std::string>& argv, const YultPeer::Environment& env,
                        const std::string& failure)
{
    const auto start = Clock::now();
    YultPeer::ChildProcess command(argv, env);
    rusage usage{};
    const int status = command.waitExit(std::chrono::seconds(20), &usage);
    const double seconds = secondsSince(start);
    expect(status == 0 && !command.out().empty(), failure, command.err());
    return {seconds, cpuSeconds(usage)};
}

std::vector<std::string> agent(const std::vector<std::string>& options)
{
    std::vector<std::string> arguments{"-P", self};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return YultPeer::agentCommand(arguments);
}

// Takes the agent's signal, connects to the port it carries and shakes hands.
void converse(YultPeer::AppPeer& app, const std::string& command, const std::string& agentErr)
{
    const int port = app.awaitSignalValue();
    expect(port > 0 && app.connectTo(port), "no signal or no connection for " + command, agentErr);
    expect(app.handshake() == command, "the handshake did not bring " + command, agentErr);
}

Delivery deliverTo(YultPeer::AppPeer& app, std::size_t size, const Launched& launched)
{
    try {
        return deliver(app, size);
    } catch (const std::runtime_error& broken) {
        expect(false, broken.what(), launched.err());
        throw;
    }
}

// A child that has become `nobody`, holds `count` connections to the port and reports them made;
// it lets go of them when the pipe it waits on is closed (or after a minute).
class HeldConnections
{
  public:
    HeldConnections(int port, int count)
    {
        int ready[2] = {-1, -1};
        int release[2] = {-1, -1};
        expect(pipe(ready) == 0 && pipe(release) == 0, "no pipe for the held connections", "");
        child = fork();
        if (child == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            _exit(hold(port, count, ready[1], release[0]));
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd = release[1];
        pollfd done{ready[0], POLLIN, 0};
        char made = 0;
        const bool held = child > 0 && poll(&done, 1, 20000) == 1 && read(ready[0], &made, 1) == 1 && made == 1;
        ::close(ready[0]);
        expect(held, "the held connections were not made", "");
    }
    ~HeldConnections()
    {
        ::close(releaseFd);
        int status = 0;
        if (child > 0) {
            waitpid(child, &status, 0);
        }
    }
    HeldConnections(const HeldConnections&) = delete;
    HeldConnections& operator=(const HeldConnections&) = delete;

  private:
    static int hold(int port, int count, int ready, int release)
    {
        const rlimit files{static_cast<rlim_t>(count) + 64, static_cast<rlim_t>(count) + 64};
        if (setrlimit(RLIMIT_NOFILE, &files) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
            setuid(65534) != 0) {
            return 2;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) {
                return 3;
            }
        }
        const char made = 1;
        if (write(ready, &made, 1) != 1) {
            return 4;
        }
        pollfd released{release, POLLIN, 0};
        poll(&released, 1, 60000);
        return 0;
    }

    pid_t child = -1;
    int releaseFd = -1;
};

} // namespace

Application::Application() { registry.add(getpid(), "com.olva.bench"); }

AgentRun Application::receiveTrace(std::size_t size)
{
    std::remove(tracePath.c_str());
    Launched launched(agent({"-C", "-O"}), registry.environment());
    converse(app, "stop-profiling", launched.err());
    app.send("profiling-stopped");
    const pid_t agentPid = launched.commandPid();
    expect(agentPid > 0 && YultPeer::waitIdle(agentPid), "trace run: the agent did not settle", launched.err());
    app.send("profiler-trace-metadata:trace-filename:" + traceName + "#trace-filesize:" + std::to_string(size));
    expect(app.receive() == "ack-profiler-trace-metadata", "trace run: no acknowledgement", launched.err());
    const Delivery delivery = deliverTo(app, size, launched);
    app.close();
    const Usage usage = launched.finish();
    const bool stored = holdsDelivery(tracePath, size);
    std::remove(tracePath.c_str());
    expect(delivery.reply == "profiler-trace-file-received" && usage.status == 0 && stored &&
               launched.out() ==
                   "YultService: Profiling stopped\nYultService: Profile trace dumped to : " + tracePath + "\n",
           "trace run: not stored as sent (reply \"" + delivery.reply + "\")", launched.err());
    return {delivery.seconds, usage.cpuSeconds, usage.maxRssKiB};
}

AgentRun Application::receiveHeap(std::size_t size)
{
    Launched launched(agent({"-M", "-J"}), registry.environment());
    converse(app, "get-js-heapinfo", launched.err());
    app.send("js-heapinfo-metadata:js-heapinfo-size:" + std::to_string(size));
    expect(app.receive() == "js-heapinfo-metadata-ack", "heap run: no acknowledgement", launched.err());
    const Delivery delivery = deliverTo(app, size, launched);
    app.close();
    const Usage usage = launched.finish();
    const std::string prefix = "YultService: JavaScript HeapInfo: ";
    const std::string out = launched.out();
    expect(delivery.reply == "js-heapinfo-received" && usage.status == 0 && out.size() == prefix.size() + size + 1 &&
               out.compare(0, prefix.size(), prefix) == 0,
           "heap run: summary not printed whole (reply \"" + delivery.reply + "\")", launched.err());
    return {delivery.seconds, usage.cpuSeconds, usage.maxRssKiB};
}

CommandRun Application::startProfiling(int refused)
{
    const auto start = Clock::now();
    YultPeer::ChildProcess started(agent({"-C", "-S"}), registry.environment());
    const int port = app.awaitSignalValue();
    std::unique_ptr<HeldConnections> held;
    if (refused > 0 && port > 0) {
        held = std::make_unique<HeldConnections>(port, refused);
    }
    expect(port > 0 && app.connectTo(port), "no signal or no connection for start-profiling", started.err());
    expect(app.handshake() == "start-profiling", "the handshake did not bring start-profiling", started.err());
    app.send("profiling-started");
    rusage usage{};
    const int status = started.waitExit(std::chrono::seconds(20), &usage);
    const double seconds = secondsSince(start);
    app.close();
    expect(status == 0 && started.out() == "YultService: Profiling started\n", "CPU start run failed", started.err());
    return {seconds, cpuSeconds(usage)};
}

CommandRun Application::lookUp()
{
    return timedCommand({"/bin/sh", "-c", "tulm list | grep -w " + self}, registry.environment(),
                        "the lookup pipeline did not list this process");
}

CommandRun Application::printVersion()
{
    return timedCommand(YultPeer::agentCommand({"-v"}), {}, "the agent printed no version");
}

long Application::launcherFloorKiB()
{
    Launched floor({"/bin/true"});
    const Usage usage = floor.finish();
    expect(usage.status == 0, "rss-launch /bin/true failed", floor.err());
    return usage.maxRssKiB;
}

} // namespace YultBench
