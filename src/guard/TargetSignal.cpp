#include "guard/TargetSignal.h"

#include "guard/ProcFiles.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace YultService::Guard {

namespace {

constexpr auto exposureWindow = std::chrono::milliseconds(40);
constexpr auto exposureLookInterval = std::chrono::milliseconds(1);

// The numbers /proc/<pid>/syscall shows for the waits of sigwaitinfo, sigtimedwait and sigwait.
// The agent and its target share the architecture, so these are the agent's own; a 32-bit
// system (ARM) has the time64 variant as well.
#if defined(SYS_rt_sigtimedwait_time64)
constexpr long waitCalls[] = {SYS_rt_sigtimedwait, SYS_rt_sigtimedwait_time64};
#else
constexpr long waitCalls[] = {SYS_rt_sigtimedwait};
#endif

bool isWaitCall(long number)
{
    for (const long call : waitCalls) {
        if (number == call) {
            return true;
        }
    }
    return false;
}

// The first word of the set, as the target (of our own width) stores it.
std::optional<unsigned long> readSetWord(int pid, std::uintptr_t address)
{
    const int fd = open((processPath(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    // A 64-bit offset: on 32-bit ARM the stack lies above 2 GiB, past a signed 32-bit off_t.
    unsigned long word = 0;
    const ssize_t count = pread64(fd, &word, sizeof(word), static_cast<off64_t>(address));
    close(fd);
    return count == static_cast<ssize_t>(sizeof(word)) ? std::optional<unsigned long>(word) : std::nullopt;
}

} // namespace

bool TargetSignal::mayBeSignalled(int pid)
{
    if (profilerSignalCaughtOrIgnored(pid)) {
        return true;
    }
    auto exposed = threadsExposedToProfilerSignal(pid, threadsOf(pid));
    const auto until = std::chrono::steady_clock::now() + exposureWindow;
    while (!exposed.empty() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(exposureLookInterval);
        exposed = threadsExposedToProfilerSignal(pid, exposed);
    }
    return exposed.empty();
}

std::optional<bool> TargetSignal::profilerSignalInMask(const std::string& status, const std::string& key)
{
    const auto mask = statusField(status, key);
    if (!mask) {
        return std::nullopt;
    }
    return (std::strtoull(mask->c_str(), nullptr, 16) >> (SIGUSR1 - 1) & 1U) != 0;
}

bool TargetSignal::isWaitingForSignals(const std::string& wchan, const std::string& stack, const std::string& syscall)
{
    // glibc's sigwaitinfo, sigtimedwait and sigwait all sleep in rt_sigtimedwait. wchan names
    // where a sleeping thread waits; the kernel stack names it also for a thread that has woken
    // and not run yet, whose mask still lacks the waited-for signals. Function names are no
    // interface, so the system call number is asked as well.
    if (wchan.find("sigtimedwait") != std::string::npos || stack.find("sigtimedwait") != std::string::npos) {
        return true;
    }
    char* end = nullptr;
    const long number = std::strtol(syscall.c_str(), &end, 10);
    return end != syscall.c_str() && isWaitCall(number); // "running", or nothing read: no
}

std::optional<std::uintptr_t> TargetSignal::waitedSetAddress(const std::string& syscall)
{
    // "<number> 0x<arg1> 0x<arg2> ... 0x<sp> 0x<pc>" while the thread sleeps in the call.
    char* end = nullptr;
    const long number = std::strtol(syscall.c_str(), &end, 10);
    if (end == syscall.c_str() || !isWaitCall(number) || *end != ' ') {
        return std::nullopt;
    }
    const char* argument = end + 1;
    if (argument[0] != '0' || argument[1] != 'x') {
        return std::nullopt;
    }
    const unsigned long long address = std::strtoull(argument + 2, &end, 16);
    if (end == argument + 2 || (*end != ' ' && *end != '\n' && *end != '\0') || address == 0 || address > UINTPTR_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uintptr_t>(address);
}

bool TargetSignal::profilerSignalInSet(unsigned long word)
{
    // The kernel's set is an array of longs, signal n at bit n-1 counted across them: SIGUSR1
    // is in the first word on every width.
    return (word >> (SIGUSR1 - 1) & 1UL) != 0;
}

bool TargetSignal::waitTakesProfilerSignal(const std::string& wchan, const std::string& stack,
                                           const std::string& syscall, const SetReader& readSet)
{
    if (!isWaitingForSignals(wchan, stack, syscall)) {
        return false;
    }
    const auto address = waitedSetAddress(syscall);
    const auto word = address ? readSet(*address) : std::nullopt;
    return !word || profilerSignalInSet(*word);
}

bool TargetSignal::profilerSignalCaughtOrIgnored(int pid)
{
    const auto status = readProcFile(processPath(pid) + "/status");
    if (!status) {
        return true;
    }
    const auto caught = profilerSignalInMask(*status, "SigCgt:");
    const auto ignored = profilerSignalInMask(*status, "SigIgn:");
    return !caught || !ignored || *caught || *ignored;
}

std::vector<std::string> TargetSignal::threadsOf(int pid)
{
    std::vector<std::string> threads;
    DIR* tasks = opendir((processPath(pid) + "/task").c_str());
    if (tasks == nullptr) {
        return threads;
    }
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') {
            threads.emplace_back(entry->d_name);
        }
    }
    closedir(tasks);
    return threads;
}

std::vector<std::string> TargetSignal::threadsExposedToProfilerSignal(int pid, const std::vector<std::string>& threads)
{
    std::vector<std::string> exposed;
    const SetReader readSet = [pid](std::uintptr_t address) { return readSetWord(pid, address); };
    for (const auto& thread : threads) {
        const std::string path = processPath(pid) + "/task/" + thread;
        const auto status = readProcFile(path + "/status");
        const auto blocked = status ? profilerSignalInMask(*status, "SigBlk:") : std::nullopt;
        if (!blocked || *blocked) {
            continue;
        }
        const auto wchan = readProcFile(path + "/wchan");
        const auto stack = readProcFile(path + "/stack");
        const auto syscall = readProcFile(path + "/syscall");
        const bool known = wchan || stack || syscall;
        if (known && !waitTakesProfilerSignal(wchan.value_or(""), stack.value_or(""), syscall.value_or(""), readSet)) {
            exposed.push_back(thread);
        }
    }
    return exposed;
}

} // namespace YultService::Guard
