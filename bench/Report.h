#pragma once

namespace YultBench {

/// A figure over repeated runs.
struct Spread
{
    double median = 0;
    double low = 0;
    double high = 0;
};

/// Everything one benchmark run measured; filled by main, printed by printReport.
struct Results
{
    double load = 0; ///< one-minute load average when the runs ended
    long cores = 0;

    int traceRounds = 0;
    double traceMiB = 0;
    Spread agentRate;     ///< MB/s, the agent receiving the trace
    Spread smallRecvRate; ///< MB/s, yardstick: 1024-byte recv loop
    Spread largeRecvRate; ///< MB/s, yardstick: 64 KiB recv loop
    double agentCpu = 0;  ///< median user + system seconds per trace, the agent process
    double smallRecvCpu = 0;
    double largeRecvCpu = 0;

    long floorRssKiB = 0; ///< rss-launch running /bin/true
    long traceRssKiB = 0; ///< highest over the trace runs
    int heapRuns = 0;
    double heapMiB = 0;
    long heapRssKiB = 0; ///< highest over the heap summary runs
    double heapRate = 0; ///< MB/s, median

    int startRuns = 0;
    double startMs = 0;     ///< median wall time of a whole CPU start run
    double lookupMs = 0;    ///< median wall time of the lookup pipeline alone
    double lookupCpuMs = 0; ///< median CPU of the lookup pipeline alone
    double versionMs = 0;   ///< median wall time of `-v`: the agent's process start and exit

    int refusalRuns = 0; ///< CPU start runs with connections held by a process the target did not start
    int refusedPerRun = 0;
    int heldDescriptors = 0; ///< the descriptors the target held meanwhile
    double refusalUs = 0;    ///< (median such run - median plain CPU start) / refusedPerRun
};

/// Prints the results, each ratio with the yardstick it uses, each target and whether it is met.
void printReport(const Results& results);

} // namespace YultBench
