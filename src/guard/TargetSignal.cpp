#include "guard/TargetSignal.h"

#include "guard/ProcFiles.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace YultService::Guard {

namespace {

constexpr auto window = std::chrono::milliseconds(40);
// A thread just woken from its wait shows no evidence until it runs; on a loaded machine that can
// take longer than the window, so the looks go on for such threads alone, up to this.
constexpr auto wakingWindow = std::chrono::milliseconds(1000);
constexpr auto lookInterval = std::chrono::milliseconds(1);

// Where a call keeps the signal mask it installs for its duration.
enum class MaskAt
{
    WaitedSet, // rt_sigtimedwait: no mask of its own; the waited-for set at the first argument
    Always,    // the call's whole purpose is its mask
    Argument,  // a pointer argument; NULL: the thread's own mask stays
    Pointed,   // a pointer argument to a {sigset pointer, size} pair
    Ring,      // io_uring_enter: flags say whether the argument is the set or a struct holding it
};

struct Call
{
    const char* name;
    long number;
    MaskAt mask;
    std::size_t argument;
};

// The numbers /proc/<pid>/task/<tid>/syscall shows. The agent and its target share the
// architecture, so these are the agent's own; 32-bit systems have the time64 variants as well.
const std::vector<Call>& calls()
{
    static const std::vector<Call> table = {
        {"rt_sigtimedwait", SYS_rt_sigtimedwait, MaskAt::WaitedSet, 0},
#ifdef SYS_rt_sigtimedwait_time64
        {"rt_sigtimedwait_time64", SYS_rt_sigtimedwait_time64, MaskAt::WaitedSet, 0},
#endif
        {"ppoll", SYS_ppoll, MaskAt::Argument, 3},
#ifdef SYS_ppoll_time64
        {"ppoll_time64", SYS_ppoll_time64, MaskAt::Argument, 3},
#endif
        {"pselect6", SYS_pselect6, MaskAt::Pointed, 5},
#ifdef SYS_pselect6_time64
        {"pselect6_time64", SYS_pselect6_time64, MaskAt::Pointed, 5},
#endif
#ifdef SYS_epoll_pwait2
        {"epoll_pwait2", SYS_epoll_pwait2, MaskAt::Argument, 4},
#endif
        {"epoll_pwait", SYS_epoll_pwait, MaskAt::Argument, 4},
        {"rt_sigsuspend", SYS_rt_sigsuspend, MaskAt::Always, 0},
#ifdef SYS_sigsuspend
        {"sigsuspend", SYS_sigsuspend, MaskAt::Always, 0},
#endif
#ifdef SYS_io_uring_enter
        {"io_uring_enter", SYS_io_uring_enter, MaskAt::Ring, 4},
#endif
#ifdef SYS_io_pgetevents
        {"io_pgetevents", SYS_io_pgetevents, MaskAt::Pointed, 5},
#endif
#ifdef SYS_io_pgetevents_time64
        {"io_pgetevents_time64", SYS_io_pgetevents_time64, MaskAt::Pointed, 5},
#endif
    };
    return table;
}

const Call* callNumbered(long number)
{
    const auto& table = calls();
    const auto found = std::find_if(table.begin(), table.end(), [number](const Call& c) { return c.number == number; });
    return found != table.end() ? &*found : nullptr;
}

// The call whose entry point ("__x64_sys_ppoll+0x...", "__arm64_sys_ppoll", "sys_ppoll") a kernel
// stack shows.
const Call* callInStack(const std::string& stack)
{
    for (const auto& call : calls()) {
        const std::string entry = std::string("sys_") + call.name;
        for (auto at = stack.find(entry); at != std::string::npos; at = stack.find(entry, at + 1)) {
            const char next = at + entry.size() < stack.size() ? stack[at + entry.size()] : '\n';
            if (next == '+' || next == '\n' || next == ' ') {
                return &call;
            }
        }
    }
    return nullptr;
}

// io_uring_enter's flags: the argument is a struct whose first member is the mask, or (newer
// kernels) an offset into a region registered beforehand, which /proc cannot follow.
constexpr std::uint64_t ringExtendedArgument = 1U << 3;
constexpr std::uint64_t ringRegisteredArgument = 1U << 5;

// Whether the call, as the line shows it, installs a mask of its own; nullopt: cannot tell.
std::optional<bool> hasOwnMask(const Call& call, const TargetSignal::SyscallLine& line,
                               const TargetSignal::MemoryReader& readMemory)
{
    const auto argument = line.arguments[call.argument];
    switch (call.mask) {
    case MaskAt::WaitedSet:
        return false;
    case MaskAt::Always:
        return true;
    case MaskAt::Argument:
        return argument != 0;
    case MaskAt::Pointed: {
        if (argument == 0) {
            return false;
        }
        const auto pointer = readMemory(static_cast<std::uintptr_t>(argument), sizeof(void*));
        return pointer ? std::optional<bool>(*pointer != 0) : std::nullopt;
    }
    case MaskAt::Ring: {
        const auto flags = line.arguments[3];
        if (argument == 0 || (flags & ringExtendedArgument) == 0) {
            return argument != 0;
        }
        if ((flags & ringRegisteredArgument) != 0) {
            return std::nullopt;
        }
        const auto mask = readMemory(static_cast<std::uintptr_t>(argument), sizeof(std::uint64_t));
        return mask ? std::optional<bool>(*mask != 0) : std::nullopt;
    }
    }
    return std::nullopt;
}

using Look = TargetSignal::Look;
using ThreadLook = TargetSignal::ThreadLook;

const Call* callOf(const std::optional<TargetSignal::SyscallLine>& line)
{
    return line && !line->running ? callNumbered(line->number) : nullptr;
}

// What a thread's mask bit means in a look, beside the call it is in.
struct Mask
{
    bool blocked;
    bool stopped; // a stop interrupts any wait (restoring the mask), but not a mask of a call's own
};

// A thread outside any call that changes its mask, or woken from one and not yet back: the status
// shows its own mask, unless the kernel stack shows it still inside such a call.
ThreadLook lookOutsideCalls(Mask mask, const std::optional<std::string>& stack, bool running)
{
    const Call* call = stack ? callInStack(*stack) : nullptr;
    if (call == nullptr) {
        return {mask.blocked ? Look::Blocked : running ? Look::ExposedRunning : Look::Exposed, ""};
    }
    if (call->mask == MaskAt::WaitedSet) {
        // A wait only ever takes signals out of the mask: a blocked bit there is the thread's own.
        return mask.blocked ? ThreadLook{Look::Blocked, ""} : ThreadLook{Look::Waking, call->name};
    }
    return {mask.blocked ? Look::InOwnMaskCall : Look::Exposed, call->name};
}

// The syscall file read before and after the status: where either read shows a call with a mask of
// its own, or a wait, the status may show that call's mask.
ThreadLook lookInCalls(Mask mask, const std::optional<TargetSignal::SyscallLine>& before,
                       const std::optional<TargetSignal::SyscallLine>& after, bool still,
                       const std::optional<std::string>& stack, const TargetSignal::MemoryReader& readMemory)
{
    for (const auto* line : {&before, &after}) {
        const Call* call = callOf(*line);
        const auto own = call != nullptr ? hasOwnMask(*call, **line, readMemory) : false;
        if (own == false) {
            continue;
        }
        if (mask.blocked) {
            return {Look::InOwnMaskCall, call->name};
        }
        return {own && still ? Look::ExposedInCall : Look::Exposed, call->name};
    }
    for (const auto* line : {&before, &after}) {
        const Call* call = callOf(*line);
        if (call == nullptr || call->mask != MaskAt::WaitedSet || mask.stopped) {
            continue;
        }
        if (mask.blocked) {
            return {Look::Blocked, ""}; // the wait takes signals out of the mask, never adds them
        }
        const auto address = static_cast<std::uintptr_t>((*line)->arguments[0]);
        const auto set = address != 0 ? readMemory(address, sizeof(long)) : std::nullopt;
        if (!set) {
            return {Look::SetUnreadable, call->name};
        }
        if ((*set >> (SIGUSR1 - 1) & 1U) == 0) {
            return {Look::Exposed, call->name}; // SIGUSR1 not waited for: the bit is the thread's own
        }
        return {still ? Look::Waiting : Look::Waking, call->name};
    }
    const bool running = (!before || before->running) && (!after || after->running);
    return lookOutsideCalls(mask, running ? stack : std::nullopt, running);
}

// Without the syscall file (no ptrace rights) the kernel stack, else wchan, stands in for it.
ThreadLook lookWithoutCall(Mask mask, bool running, const std::optional<std::string>& stack,
                           const std::optional<std::string>& wchan)
{
    const Call* call = stack ? callInStack(*stack) : nullptr;
    if (running || call != nullptr) {
        return mask.stopped && call != nullptr && call->mask == MaskAt::WaitedSet
                   ? ThreadLook{mask.blocked ? Look::Blocked : Look::Exposed, ""}
                   : lookOutsideCalls(mask, stack, running);
    }
    // wchan names the kernel function a thread sleeps in, and is "0" when the thread runs and when
    // it is hidden from us: "0" is no sign of where the thread is.
    const std::string function = wchan.value_or("0").substr(0, wchan.value_or("0").find('\n'));
    if (function.empty() || function == "0") {
        return {Look::Unknown, ""};
    }
    if (function.find("sigtimedwait") != std::string::npos && !mask.stopped) {
        return mask.blocked ? ThreadLook{Look::Blocked, ""} : ThreadLook{Look::SetUnreadable, "rt_sigtimedwait"};
    }
    // poll, select and epoll sleep in the same places with or without a mask of their own.
    for (const char* family : {"poll", "select", "sigsuspend", "io_cqring", "io_uring"}) {
        if (function.find(family) != std::string::npos) {
            return {mask.blocked ? Look::InOwnMaskCall : Look::Exposed, function};
        }
    }
    return {mask.blocked ? Look::Blocked : Look::Exposed, ""};
}

// Reads the target's memory through its open /proc/<pid>/mem (-1: nothing can be read).
TargetSignal::MemoryReader memoryReader(int memory)
{
    return [memory](std::uintptr_t address, std::size_t width) -> std::optional<std::uint64_t> {
        // A 64-bit offset: on 32-bit ARM the stack lies above 2 GiB, past a signed 32-bit off_t.
        std::uint32_t narrow = 0;
        std::uint64_t wide = 0;
        void* into = width == sizeof(narrow) ? static_cast<void*>(&narrow) : static_cast<void*>(&wide);
        if (memory < 0 || pread64(memory, into, width, static_cast<off64_t>(address)) != static_cast<ssize_t>(width)) {
            return std::nullopt;
        }
        return width == sizeof(narrow) ? narrow : wide;
    };
}

// One look's texts from a thread's /proc/<pid>/task/<tid> directory at `path`.
TargetSignal::ThreadTexts readThread(const std::string& path)
{
    TargetSignal::ThreadTexts texts;
    texts.syscall = readProcFile(path + "/syscall");
    texts.status = readProcFile(path + "/status");
    texts.syscallAfter = readProcFile(path + "/syscall");
    // The stack and wchan matter only for a thread that runs or whose call cannot be read.
    const auto running = [](const std::optional<std::string>& syscall) {
        return !syscall || syscall->rfind("running", 0) == 0;
    };
    if (running(texts.syscall) && running(texts.syscallAfter)) {
        texts.stack = readProcFile(path + "/stack");
    }
    if (!texts.syscall && !texts.syscallAfter) {
        texts.wchan = readProcFile(path + "/wchan");
    }
    return texts;
}

// Every thread once, then the undecided ones again until the window ends, or, while every thread
// not yet safe is only waking, the longer window for wakers.
void lookOverWindow(TargetSignal::Judgement& judgement, const std::vector<std::string>& threads,
                    const std::function<ThreadLook(const std::string&)>& lookAt)
{
    for (const auto& thread : threads) {
        judgement.take(thread, lookAt(thread));
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto now = start;
         !judgement.decided() && (now < start + window || (judgement.onlyWaking() && now < start + wakingWindow));
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(lookInterval);
        for (const auto& thread : judgement.undecided()) {
            judgement.take(thread, lookAt(thread));
        }
    }
}

} // namespace

std::optional<TargetSignal::SyscallLine> TargetSignal::parseSyscall(const std::string& text)
{
    // "running"; "-1 0x<sp> 0x<pc>" for a stopped thread outside any call; else
    // "<number> 0x<arg1> ... 0x<arg6> 0x<sp> 0x<pc>".
    if (text.rfind("running", 0) == 0) {
        SyscallLine line;
        line.running = true;
        return line;
    }
    char* end = nullptr;
    SyscallLine line;
    line.number = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str()) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> fields;
    for (const char* at = end; *at == ' ';) {
        if (at[1] != '0' || at[2] != 'x') {
            return std::nullopt;
        }
        fields.push_back(std::strtoull(at + 3, &end, 16));
        if (end == at + 3) {
            return std::nullopt;
        }
        at = end;
    }
    if (line.number < 0) {
        return fields.size() == 2 ? std::optional<SyscallLine>(line) : std::nullopt;
    }
    if (fields.size() != 8) {
        return std::nullopt;
    }
    line.arguments.assign(fields.begin(), fields.begin() + 6);
    return line;
}

TargetSignal::ThreadLook TargetSignal::classify(const ThreadTexts& texts, const MemoryReader& readMemory)
{
    if (!texts.status) {
        return {Look::Gone, ""};
    }
    const char stateCode = statusState(*texts.status);
    if (stateCode == 'Z' || stateCode == 'X') {
        return {Look::Gone, ""};
    }
    const auto blocked = profilerSignalInMask(*texts.status, "SigBlk:");
    if (!blocked) {
        return {Look::Unknown, ""};
    }
    const Mask mask{*blocked, stateCode == 'T' || stateCode == 't'};
    const auto before = texts.syscall ? parseSyscall(*texts.syscall) : std::nullopt;
    const auto after = texts.syscallAfter ? parseSyscall(*texts.syscallAfter) : std::nullopt;
    if (before || after) {
        const bool still = before && after && *texts.syscall == *texts.syscallAfter;
        return lookInCalls(mask, before, after, still, texts.stack, readMemory);
    }
    return lookWithoutCall(mask, stateCode == 'R', texts.stack, texts.wchan);
}

void TargetSignal::Judgement::take(const std::string& thread, const ThreadLook& look)
{
    Thread& t = joined(thread);
    if (t.standing == Standing::Safe || t.standing == Standing::Refusing) {
        return;
    }
    const Standing before = t.standing;
    t.standing = next(t, look.look);
    // The evidence is the latest look until one counts, then the one the standing rests on.
    if (before == Standing::Unknown || t.standing != before) {
        t.evidence = look;
    }
}

TargetSignal::Judgement::Thread& TargetSignal::Judgement::joined(const std::string& thread)
{
    const auto found =
        std::find_if(threads.begin(), threads.end(), [&thread](const Thread& t) { return t.id == thread; });
    if (found != threads.end()) {
        return *found;
    }
    threads.push_back({thread, Standing::Unknown, {}}); // the first look it takes is its evidence
    return threads.back();
}

TargetSignal::Judgement::Standing TargetSignal::Judgement::next(Thread& thread, Look look)
{
    const bool unknown = thread.standing == Standing::Unknown;
    switch (look) {
    case Look::Gone:
    case Look::Blocked:
        return Standing::Safe;
    case Look::Waiting:
        // A thread seen exposed before may wait without having blocked the signal: the kernel then
        // kills it even in the wait, and /proc cannot show that.
        return unknown ? Standing::Safe : thread.standing;
    case Look::Exposed:
        return Standing::Exposed;
    case Look::ExposedRunning: {
        // A waiter just woken shows this too, on a CPU on its way out of its wait with the wait's
        // mask still in place (its stack is not readable while it runs): it is back in its wait, or
        // blocking the signal, a moment later. So only a second such look counts as exposure.
        if (!unknown) {
            return thread.standing;
        }
        const bool again = thread.seenRunningExposed;
        thread.seenRunningExposed = true;
        return again ? Standing::Exposed : Standing::Unknown;
    }
    case Look::ExposedInCall:
        // It comes back to that call, and a signal arriving there kills it.
        return Standing::Refusing;
    case Look::InOwnMaskCall:
    case Look::Waking:
    case Look::SetUnreadable:
    case Look::Unknown:
        break;
    }
    return thread.standing;
}

std::vector<std::string> TargetSignal::Judgement::undecided() const
{
    std::vector<std::string> ids;
    for (const auto& t : threads) {
        if (t.standing == Standing::Unknown || t.standing == Standing::Exposed) {
            ids.push_back(t.id);
        }
    }
    return ids;
}

bool TargetSignal::Judgement::onlyWaking() const
{
    return std::all_of(threads.begin(), threads.end(), [](const Thread& t) {
        return t.standing == Standing::Safe || (t.standing == Standing::Unknown && t.evidence.look == Look::Waking);
    });
}

bool TargetSignal::Judgement::decided() const
{
    return undecided().empty() || std::any_of(threads.begin(), threads.end(),
                                              [](const Thread& t) { return t.standing == Standing::Refusing; });
}

TargetSignal::Verdict TargetSignal::Judgement::verdict() const
{
    const auto refusing = [](Standing s) { return s == Standing::Refusing; };
    const auto notSafe = [](Standing s) { return s != Standing::Safe; };
    for (const auto& rule : {+refusing, +notSafe}) {
        for (const auto& t : threads) {
            if (!rule(t.standing)) {
                continue;
            }
            const std::string& call = t.evidence.call;
            switch (t.evidence.look) {
            case Look::Exposed:
            case Look::ExposedRunning:
                return {false, t.id, "is exposed: it neither blocks nor waits for SIGUSR1"};
            case Look::ExposedInCall:
                return {false, t.id, "is exposed in " + call + ", whose mask lets SIGUSR1 through"};
            case Look::InOwnMaskCall:
                return {false, t.id, "was only seen in " + call + ", a call with a mask of its own"};
            case Look::Waking:
                return {false, t.id, "was only seen waking from " + call};
            case Look::SetUnreadable:
                return {false, t.id, "waits for a set that cannot be read"};
            default:
                return {false, t.id, "shows nothing readable"};
            }
        }
    }
    return {true, "", ""};
}

TargetSignal::Verdict TargetSignal::judge(const TargetProcess& target)
{
    // SIGUSR1 caught or ignored cannot kill. A target that has ended, or whose status cannot be
    // read, gets the signal, which then fails, or not, as the kernel says.
    const auto state = target.currentState();
    if (state.presence != TargetProcess::State::Running ||
        state.profilerSignal != TargetProcess::State::Action::Default) {
        return {true, "", ""};
    }
    const std::string process = processPath(target.pid());
    const int memory = open((process + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    const MemoryReader readMemory = memoryReader(memory);
    Judgement judgement;
    lookOverWindow(judgement, target.threads(), [&process, &readMemory](const std::string& thread) {
        return classify(readThread(process + "/task/" + thread), readMemory);
    });
    if (memory >= 0) {
        close(memory);
    }
    return judgement.verdict();
}

} // namespace YultService::Guard
