#include "AgentProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace YultTest {
namespace {

const std::string noProcess = "YultService: Invalid option, There is no process with specified pid\n";
const std::string noMode = "YultService: Please specify at-least CPU or Memory mode.\n";
const std::string badPid = "Bad PID!\n";
const auto caseName = [](const auto& info) { return std::string(info.param.name); };

std::string helpPage()
{
    // Each entry: the number of leading tabs, then the line's text.
    const char* lines[] = {"0", "0NAME", "1YultService - Ostrel Studio Performance Tools Service", "0", "0SYNOPSIS",
        "1YultService [-P pid] [-C] [-S] [-O] [-V] [-h]", "0", "0DESCRIPTION", "1YultService (Ostrel Studio "
        "Performance Tools Service) is a command line agent written for and run natively on olva devices. The service "
        "is used by Ostrel Studio Performance Extension and communicates with OlvaScript applications.", "1",
        "0The options are as follows:", "0",
        "1-P app_pid, --pid app_pid", "3The process identifier of the target olva script application",
        "1-C , --cpu", "3Perform CPU profiling", "1-M , --memory", "3Perform Memory profiling",
        "1-S , --start-profiling", "3Start profiling", "1-O , --stop-profiling", "3Stop profiling",
        "1-J , --get-js-heap-summary", "3Get JavaScript heap memory summary",
        "1-V , --verbose", "3Dump additional information while running",
        "1-D , --use-dynamic-port",
        "3Get a free port dynamically for the app profiler. Otherwise uses default 9091 port",
        "1-v , --version", "3Display version information", "1-h , --help", "3Show this help message and exit",
        "0", "0SAMPLE USAGE",
        "1Run YultService and start CPU profiling of OlvaScript application with process identifier 1234",
        "1YultService -pid 1234 --cpu --start-profiling", "1YultService -P 1234 -CS", "0",
        "1Run YultService in verbose mode and stop CPU profiling of OlvaScript application with process "
        "identifier 1234",
        "1YultService --pid 1234 --cpu --stop-profiling --verbose", "1YultService -P 1234 -COV", "0",
        "1Show help for YultService", "1YultService --help", "1YultService -h", "0"};
    std::string page;
    for (const char* line : lines) {
        page += std::string(static_cast<std::size_t>(line[0] - '0'), '\t') + (line + 1) + '\n';
    }
    return page;
}

// Every run has stand-ins first on PATH: `grep` and `ps` note in a trace that they ran (grep
// with its arguments, so the pid the lookup used shows) and `ps` and `tulm` print scripted
// listings. The target is a child of the test with SIGUSR1 at its default action: a run that
// passes validation goes on to the job, which refuses to signal such a process rather than kill it.
struct RunCase
{
    const char* name;
    std::vector<std::string> args;  ///< '@' stands for the target's pid, here and in the listings and trace
    int status;
    std::string out;
    std::string err;        ///< all of standard error, or its end when a note is expected
    std::string trace;      ///< the lookup commands that ran
    const char* note = "";  ///< what each diagnostic before that end contains (getopt_long's, the shell's)
    int notes = 0;
    const char* tulm = "";  ///< the lifecycle tool's listing; null: no such tool on PATH
    std::string ps = "";
    int psStatus = 0;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<RunCase>
{
  protected:
    CommandLine()
    {
        if ((target = fork()) == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGUSR1, SIG_DFL);
            execl("/bin/sleep", "sleep", "60", nullptr);
            _exit(127);
        }
    }
    ~CommandLine() override
    {
        if (target > 0) { // never kill(-1)
            kill(target, SIGKILL);
            waitpid(target, nullptr, 0);
        }
    }

    std::string withPid(std::string text) const
    {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@')) {
            text.replace(at, 1, std::to_string(target));
        }
        return text;
    }

    TempDir dir;
    pid_t target = -1;
};

TEST_P(CommandLine, Outcome)
{
    const auto& c = GetParam();
    const std::string& d = dir.path;
    writeFile(d + "/grep", "#!/bin/sh\necho \"$*\" >>" + d + "/trace\nexec /usr/bin/grep \"$@\"\n", true);
    writeFile(d + "/ps.out", withPid(c.ps));
    const std::string psExit = "\nexit " + std::to_string(c.psStatus);
    writeFile(d + "/ps", "#!/bin/sh\necho ps >>" + d + "/trace\ncat " + d + "/ps.out" + psExit, true);
    if (c.tulm != nullptr) {
        writeFile(d + "/tulm.out", withPid(c.tulm));
        writeFile(d + "/tulm", "#!/bin/sh\ncat " + d + "/tulm.out\n", true);
    }
    std::vector<std::string> args;
    for (const auto& arg : c.args) {
        args.push_back(withPid(arg));
    }
    AgentProcess agent(args, {{"PATH", d + ":/usr/bin:/bin"}});
    EXPECT_EQ(agent.waitExit(), c.status);
    EXPECT_EQ(agent.out(), c.out);
    const std::string err = agent.err();
    const auto tail = err.size() >= c.err.size() ? err.substr(err.size() - c.err.size()) : err;
    EXPECT_EQ(c.notes == 0 ? err : tail, c.err);
    int notes = 0;
    for (auto at = err.find(c.note); c.notes > 0 && at != std::string::npos; at = err.find(c.note, at + 1)) {
        ++notes;
    }
    EXPECT_EQ(notes, c.notes) << err;
    EXPECT_EQ(readFile(d + "/trace"), withPid(c.trace));
}

const std::string fullLookup = "-w @\nps\n";
const std::vector<std::string> lookupArgs = {"-P", "@", "-C", "-S", "-D"};
const std::string appUserLine = "app_user  @  1  0 10:00 ?  00:00:01 /usr/bin/app\n";

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine, ::testing::Values(
    RunCase{"NoOptions", {}, 1, "", noMode, ""},
    RunCase{"StartAndStopBeforeBothModes", {"-C", "-S", "-O", "-M"}, 1, "", "YultService: Invalid options, Cannot "
            "start and stop profiling at the same time. Please provide only one option.\n", ""},
    RunCase{"CpuWithoutStartOrStop", {"-C"}, 1, "", "YultService: Invalid options, Must specify to either start or "
            "stop profiling with CPU mode. Please provide at-least one option.\n", ""},
    RunCase{"MemoryWithoutHeapSummary", {"-M", "-S"}, 1, "", "YultService: Invalid option. You must specify at least "
            "one option that is supported with Memory mode/.\n", ""},
    RunCase{"CpuAndMemory", {"-C", "-S", "-M", "-J"}, 1, "", "YultService: Currently YultService can be invoked "
            "with either CPU or Memory mode only but not both.\n", ""},
    RunCase{"HelpBypassesRules", {"-h", "-C", "-M"}, 0, helpPage(), "", ""},
    RunCase{"HelpWinsOverVersion", {"--help", "-v"}, 0, helpPage(), "", ""},
    RunCase{"VersionBypassesRules", {"-v", "-C", "-M"}, 0, "2.1.0.0\n", "", ""},
    RunCase{"BadPidsLeavePidZero", {"-P", "12x", "-P", "", "-P", "99999999999", "-C", "-S"}, 1, "",
            badPid + badPid + badPid + noProcess, "-w 0\nps\n"},
    RunCase{"BadPidKeepsEarlierPid", {"-P", "7", "-P", "12x", "-C", "-S"}, 1, "", badPid + noProcess, "-w 7\nps\n"},
    RunCase{"LaterPidWins", {"--pid", "7", "-CS", "-P8"}, 1, "", noProcess, "-w 8\nps\n"},
    RunCase{"PidSwallowsNextOption", {"-P", "-C"}, 1, "", badPid + noMode, ""},
    RunCase{"NonOptionArgumentsRunTogether", {"-C", "a", "-S", "b", "-P", "5"}, 1, "",
            "YultService: Unrecognized argument: ab\n" + noProcess, "-w 5\nps\n"},
    RunCase{"AmbiguousAbbreviationSetsNothing", {"--ver"}, 1, "", noMode, "", "ambiguous", 1},
    RunCase{"SingleDashPidIsThreeUnknownOptions", {"-pid", "1234", "-C", "-S"}, 1, "",
            "YultService: Unrecognized argument: 1234\n" + noProcess, "-w 0\nps\n", "invalid option", 3},
    RunCase{"PidWithoutArgument", {"-C", "-S", "-P"}, 1, "", noProcess, "-w 0\nps\n", "requires an argument", 1},
    RunCase{"LifecycleToolNeedsWholeWord", lookupArgs, 1, "", noProcess, fullLookup, "", 0, "app @7 running\n"},
    RunCase{"OtherUsersProcess", lookupArgs, 1, "", noProcess, fullLookup, "", 0, "", "web_" + appUserLine},
    RunCase{"PidInParentColumn", lookupArgs, 1, "", noProcess, fullLookup, "", 0, "",
            "app_user  1  @  0 10:00 ?  00:00:01 /usr/bin/app\n"},
    RunCase{"LineWithoutParentPid", lookupArgs, 1, "", noProcess, fullLookup, "", 0, "", "app_user @\n"},
    RunCase{"PsFails", lookupArgs, 1, "", noProcess, fullLookup, "", 0, "", appUserLine, 3},
    RunCase{"LifecycleToolMissing", lookupArgs, 1, "", noProcess, fullLookup, "tulm", 1, nullptr}),
    caseName);

const std::string refused = "YultService: Sending profiler signal to target failed: target does not handle SIGUSR1\n";

// These get past validation and bind an agent port: the only runs here that take the port lock.
INSTANTIATE_TEST_SUITE_P(Passes, CommandLine, ::testing::Values(
    RunCase{"ListedByLifecycleTool", lookupArgs, 1, "", refused, "-w @\n", "", 0, "app @ running\n", appUserLine},
    RunCase{"OnlyPsShowsIt", lookupArgs, 1, "", refused, fullLookup, "", 0, "", "UID PID PPID C STIME TTY TIME CMD\n"
            "root  1  0  0 09:00 ?  00:00:02 /sbin/init\napp_user  @  1  0 10:00 ?  00:00:01 /usr/bin/app"},
    RunCase{"LifecycleToolMissingPsShowsIt", lookupArgs, 1, "", refused, fullLookup, "tulm", 1, nullptr, appUserLine}),
    caseName);

TEST(CommandLineFile, VersionSection)
{
    const char* agentFile = std::getenv("YULT_AGENT") != nullptr ? std::getenv("YULT_AGENT") : YULT_AGENT_PATH;
    const TempDir dir;
    const std::string image = dir.path + "/version.bin";
    if (std::system(("objcopy -O binary --only-section=.version " + std::string(agentFile) + " " + image).c_str())) {
        GTEST_SKIP() << "objcopy cannot read the program file";
    }
    EXPECT_EQ(readFile(image), std::string("version=2.1.0.0", 16));
}

} // namespace
} // namespace YultTest
