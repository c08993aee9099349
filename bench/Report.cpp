#include "Report.h"

#include <cstdio>
#include <string>

namespace YultBench {

namespace {

constexpr double smallRecvRatioTarget = 0.8; // agent / 1024-byte recv loop, at least
constexpr double traceRssTargetMiB = 8;      // peak while receiving a trace, below
constexpr double startRatioTarget = 1.5;     // CPU start / lookup pipeline, at most
constexpr double refusalTargetUs = 200;      // one refused connection, below

// A heap summary is held whole: one and a half times its size, and 4 MiB for the program.
double heapRssTargetMiB(double heapMiB) { return 1.5 * heapMiB + 4; }

std::string format(const char* pattern, double a, double b = 0, double c = 0)
{
    char text[128];
    std::snprintf(text, sizeof(text), pattern, a, b, c);
    return text;
}

std::string mib(long kib) { return format("%.1f MiB", static_cast<double>(kib) / 1024); }

std::string rate(const Spread& s) { return format("%.0f MB/s [%.0f-%.0f]", s.median, s.low, s.high); }

void row(const std::string& label, const std::string& value, const std::string& note = "")
{
    std::printf("  %-52s %-24s %s\n", label.c_str(), value.c_str(), note.c_str());
}

// A figure with a target: the target and whether it is met; counted in `met` and `targets`.
void targetRow(const std::string& label, const std::string& value, const std::string& target, bool isMet, int& met,
               int& targets)
{
    row(label, value, "target " + target + (isMet ? "  met" : "  MISSED"));
    met += isMet ? 1 : 0;
    ++targets;
}

void printTrace(const Results& r, int& met, int& targets)
{
    std::printf(
        "\nTrace reception, %.0f MiB, one sender for all (64 KiB writes, then the end marker);\n"
        "median [slowest-fastest] of %.0f rounds after an untimed one; CPU = user + system seconds per %.0f MiB, median\n",
        r.traceMiB, static_cast<double>(r.traceRounds), r.traceMiB);
    row("agent (-C -O), trace stored under /tmp", rate(r.agentRate),
        format("CPU %.3f s (its start and target lookup included)", r.agentCpu));
    row("yardstick A: 1024-byte recv loop, stdio to /tmp", rate(r.smallRecvRate), format("CPU %.3f s", r.smallRecvCpu));
    row("yardstick B: 64 KiB recv loop, stdio to /tmp", rate(r.largeRecvRate), format("CPU %.3f s", r.largeRecvCpu));
    targetRow("agent / 1024-byte recv loop (A)", format("%.2fx", r.agentRate.median / r.smallRecvRate.median),
              format(">= %.2fx", smallRecvRatioTarget),
              r.agentRate.median >= smallRecvRatioTarget * r.smallRecvRate.median, met, targets);
    row("agent / 64 KiB recv loop (B, memory speed)", format("%.2fx", r.agentRate.median / r.largeRecvRate.median),
        "no target");
    row("agent CPU / CPU of A, of B", format("%.2fx, %.2fx", r.agentCpu / r.smallRecvCpu, r.agentCpu / r.largeRecvCpu),
        "no target");
}

void printMemory(const Results& r, int& met, int& targets)
{
    std::printf("\nPeak resident size: ru_maxrss of the agent alone, run under rss-launch; highest over the runs\n");
    row("floor: rss-launch running /bin/true", mib(r.floorRssKiB));
    targetRow(format("agent, %.0f MiB trace", r.traceMiB), mib(r.traceRssKiB), format("< %.0f MiB", traceRssTargetMiB),
              static_cast<double>(r.traceRssKiB) < traceRssTargetMiB * 1024, met, targets);
    targetRow(format("agent, %.0f MiB heap summary (%.0f runs)", r.heapMiB, static_cast<double>(r.heapRuns)),
              mib(r.heapRssKiB), format("<= %.0f MiB (1.5 x %.0f MiB + 4 MiB)", heapRssTargetMiB(r.heapMiB), r.heapMiB),
              static_cast<double>(r.heapRssKiB) <= heapRssTargetMiB(r.heapMiB) * 1024, met, targets);
    row("  heap summary reception, median", format("%.0f MB/s", r.heapRate));
}

void printStart(const Results& r, int& met, int& targets)
{
    std::printf("\nCPU start: median wall time of %d alternated runs of each\n", r.startRuns);
    row("agent -C -S, whole run (start to exit)", format("%.2f ms", r.startMs));
    row("lookup pipeline alone: tulm list | grep -w PID", format("%.2f ms", r.lookupMs),
        format("CPU %.2f ms", r.lookupCpuMs));
    row("for scale: agent -v (process start and exit only)", format("%.2f ms", r.versionMs));
    targetRow("CPU start / lookup pipeline", format("%.2fx", r.startMs / r.lookupMs),
              format("<= %.2fx", startRatioTarget), r.startMs <= startRatioTarget * r.lookupMs, met, targets);
    std::printf("\nRefusal: %d CPU start runs, each with %d connections held by a process of the target's user\n"
                "that it did not start, made after the signal and before the application connects; the\n"
                "target holds %d descriptors meanwhile\n",
                r.refusalRuns, r.refusedPerRun, r.heldDescriptors);
    targetRow("one refusal: (median run - median CPU start) / held", format("%.0f us", r.refusalUs),
              format("< %.0f us", refusalTargetUs), r.refusalUs < refusalTargetUs, met, targets);
}

} // namespace

void printReport(const Results& results)
{
    std::printf("YultService benchmark (MB = 10^6 bytes, MiB = 2^20 bytes; load average %.2f on %ld cores)\n",
                results.load, results.cores);
    int met = 0;
    int targets = 0;
    printTrace(results, met, targets);
    printMemory(results, met, targets);
    printStart(results, met, targets);
    std::printf("\nTargets met: %d of %d (information only: the exit status says only whether every run worked)\n", met,
                targets);
}

} // namespace YultBench
