// The agent's benchmark: this process plays the profiled application against the real agent and
// feeds the yardsticks from the same sender. The agent listens on its fixed port, so run it
// under the port lock: flock /tmp/yult-ports.lock build/yult-bench

#include "Baselines.h"
#include "Report.h"
#include "Runs.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace YultBench;

constexpr std::size_t traceSize = std::size_t{64} << 20;
constexpr std::size_t heapSize = std::size_t{16} << 20;
constexpr int traceRounds = 5;
constexpr int heapRuns = 3;
constexpr int startRuns = 40;
constexpr int refusalRuns = 10;
constexpr int refusedPerRun = 200;
constexpr int heldDescriptors = 200;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// The descriptors this process holds, as the agent lists them in /proc.
int openDescriptors()
{
    int count = 0;
    for (auto entry = std::filesystem::directory_iterator("/proc/self/fd"); entry != decltype(entry)(); ++entry) {
        ++count;
    }
    return count - 1; // the listing's own
}

double megabytes(std::size_t bytes) { return static_cast<double>(bytes) / 1e6; }

double mebibytes(std::size_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

/// The rates of transfers of `bytes` that took these seconds.
Spread rates(std::size_t bytes, const std::vector<double>& seconds)
{
    const auto [fastest, slowest] = std::minmax_element(seconds.begin(), seconds.end());
    return {megabytes(bytes) / median(seconds), megabytes(bytes) / *slowest, megabytes(bytes) / *fastest};
}

struct Receiver
{
    std::function<Reception()> run;
    std::vector<double> seconds;
    std::vector<double> cpu;
};

// One untimed round first; then each round starts with the next receiver, so that drift
// (writeback of earlier files, clock changes) spreads over all three.
void measureTrace(Application& app, Results& results)
{
    long rss = 0;
    std::vector<Receiver> receivers{{[&app, &rss] {
                                         const AgentRun run = app.receiveTrace(traceSize);
                                         rss = std::max(rss, run.maxRssKiB);
                                         return Reception{run.seconds, run.cpuSeconds};
                                     },
                                     {},
                                     {}},
                                    {[&app] { return runYardstick(app.peer(), smallRecv, traceSize); }, {}, {}},
                                    {[&app] { return runYardstick(app.peer(), largeRecv, traceSize); }, {}, {}}};
    for (auto& receiver : receivers) {
        receiver.run();
    }
    for (std::size_t round = 0; round < traceRounds; ++round) {
        for (std::size_t turn = 0; turn < receivers.size(); ++turn) {
            Receiver& receiver = receivers[(round + turn) % receivers.size()];
            const Reception reception = receiver.run();
            receiver.seconds.push_back(reception.seconds);
            receiver.cpu.push_back(reception.cpuSeconds);
        }
    }
    results.traceRounds = traceRounds;
    results.traceMiB = mebibytes(traceSize);
    results.traceRssKiB = rss;
    results.agentRate = rates(traceSize, receivers[0].seconds);
    results.smallRecvRate = rates(traceSize, receivers[1].seconds);
    results.largeRecvRate = rates(traceSize, receivers[2].seconds);
    results.agentCpu = median(receivers[0].cpu);
    results.smallRecvCpu = median(receivers[1].cpu);
    results.largeRecvCpu = median(receivers[2].cpu);
}

void measureMemory(Application& app, Results& results)
{
    results.floorRssKiB = app.launcherFloorKiB();
    std::vector<double> seconds;
    for (int run = 0; run < heapRuns; ++run) {
        const AgentRun heap = app.receiveHeap(heapSize);
        results.heapRssKiB = std::max(results.heapRssKiB, heap.maxRssKiB);
        seconds.push_back(heap.seconds);
    }
    results.heapRuns = heapRuns;
    results.heapMiB = mebibytes(heapSize);
    results.heapRate = megabytes(heapSize) / median(seconds);
}

void measureStart(Application& app, Results& results)
{
    std::vector<double> start;
    std::vector<double> lookup;
    std::vector<double> lookupCpu;
    std::vector<double> version;
    for (int run = 0; run < startRuns; ++run) {
        const auto lookUp = [&] {
            const CommandRun pipeline = app.lookUp();
            lookup.push_back(pipeline.seconds * 1e3);
            lookupCpu.push_back(pipeline.cpuSeconds * 1e3);
        };
        if (run % 2 == 1) {
            lookUp();
        }
        start.push_back(app.startProfiling().seconds * 1e3);
        version.push_back(app.printVersion().seconds * 1e3);
        if (run % 2 == 0) {
            lookUp();
        }
    }
    results.startRuns = startRuns;
    results.startMs = median(start);
    results.lookupMs = median(lookup);
    results.lookupCpuMs = median(lookupCpu);
    results.versionMs = median(version);
}

// Run after measureStart, whose median CPU start it subtracts. Meanwhile this process, the target,
// holds `heldDescriptors` descriptors, sockets as an application's are, and every refusal reads
// them all before it looks at the processes the target started.
void measureRefusal(Application& app, Results& results)
{
    Crowd crowd(refusedPerRun);
    std::vector<int> held;
    for (int open = openDescriptors(); open < heldDescriptors; ++open) {
        held.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    std::vector<double> start;
    for (int run = 0; run < refusalRuns; ++run) {
        start.push_back(app.startProfiling(&crowd).seconds * 1e3);
    }
    results.heldDescriptors = openDescriptors();
    for (const int fd : held) {
        close(fd);
    }
    results.refusalRuns = refusalRuns;
    results.refusedPerRun = refusedPerRun;
    results.refusalUs = (median(start) - results.startMs) * 1e3 / refusedPerRun;
}

} // namespace

int main()
{
    // Before anything else: every thread to come inherits the mask, the agent's signal waits.
    YultPeer::blockProfilerSignal();
    try {
        Application app;
        Results results;
        measureTrace(app, results);
        measureMemory(app, results);
        measureStart(app, results);
        measureRefusal(app, results);
        std::ifstream("/proc/loadavg") >> results.load;
        results.cores = sysconf(_SC_NPROCESSORS_ONLN);
        printReport(results);
    } catch (const std::exception& failed) {
        std::fprintf(stderr, "yult-bench: a run failed: %s\n", failed.what());
        return 1;
    }
    return 0;
}
