#include "Runs.h"

#include "Launched.h"
#include "Sender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

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

// Waits (up to 20 s) for one int on `fd`; false at its end.
bool receiveInt(int fd, int& value)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 20000) == 1 && read(fd, &value, sizeof(value)) == sizeof(value);
}

bool sendInt(int fd, int value) { return write(fd, &value, sizeof(value)) == sizeof(value); }

} // namespace

Crowd::Crowd(int count)
{
    int orders[2] = {-1, -1};
    int replies[2] = {-1, -1};
    expect(pipe2(orders, O_CLOEXEC) == 0 && pipe2(replies, O_CLOEXEC) == 0, "no pipe for the crowd", "");
    // It connects only when told, later: its start falls into no timing.
    orphan = std::make_unique<YultPeer::OtherUser>(
        geteuid(),
        [=] {
            ::close(orders[1]); // so that closing ours ends its orders
            ::close(replies[0]);
            return serve(count, orders[0], replies[1]);
        },
        YultPeer::OtherUser::Orphan);
    ::close(orders[0]);
    ::close(replies[1]);
    ordersFd = orders[1];
    repliesFd = replies[0];
}

Crowd::~Crowd()
{
    ::close(ordersFd); // its end: it lets go and exits
    ::close(repliesFd);
}

void Crowd::connectTo(int port)
{
    int made = 0;
    expect(sendInt(ordersFd, port) && receiveInt(repliesFd, made) && made == port, "the crowd did not connect", "");
}

void Crowd::release()
{
    int released = -1;
    expect(sendInt(ordersFd, 0) && receiveInt(repliesFd, released) && released == 0, "the crowd did not let go", "");
}

// Each order is a port to hold `count` connections to, or 0 to close them; the end of the orders ends it.
int Crowd::serve(int count, int orders, int replies)
{
    std::vector<int> held;
    int port = 0;
    while (receiveInt(orders, port)) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; port > 0 && i < count; ++i) {
            held.push_back(socket(AF_INET, SOCK_STREAM, 0));
            if (held.back() < 0 || connect(held.back(), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0) {
                return 3;
            }
        }
        if (port == 0) {
            std::for_each(held.begin(), held.end(), ::close);
            held.clear();
        }
        if (!sendInt(replies, port)) {
            return 4;
        }
    }
    return 0;
}

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

CommandRun Application::startProfiling(Crowd* crowd)
{
    const auto start = Clock::now();
    YultPeer::ChildProcess started(agent({"-C", "-S"}), registry.environment());
    const int port = app.awaitSignalValue();
    if (crowd != nullptr && port > 0) {
        crowd->connectTo(port);
    }
    expect(port > 0 && app.connectTo(port), "no signal or no connection for start-profiling", started.err());
    expect(app.handshake() == "start-profiling", "the handshake did not bring start-profiling", started.err());
    app.send("profiling-started");
    rusage usage{};
    const int status = started.waitExit(std::chrono::seconds(20), &usage);
    const double seconds = secondsSince(start);
    app.close();
    if (crowd != nullptr) {
        crowd->release();
    }
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
