#include "LinkFixture.h"

namespace YultTest {
namespace {

const std::string noProcess = "YultService: Invalid option, There is no process with specified pid\n";
const std::string noMode = "YultService: Please specify at-least CPU or Memory mode.\n";
const std::string badPid = "Bad PID!\n", unrecognized = "YultService: Unrecognized argument: ";
const std::string refused = "YultService: Sending profiler signal to target failed: target does not handle SIGUSR1\n";

// The one golden copy of the help page.
const std::string helpPage = readFile(YULT_HELP_PAGE);

// Stand-ins on PATH trace the lookup and print listings; the target's default SIGUSR1 makes a valid run refused.
struct RunCase
{
    const char* name;
    std::vector<std::string> args; ///< '@' stands for the target's pid, here and in the listings and trace
    int status;
    std::string out;
    std::string err;       ///< all of standard error, or its end when a note is expected
    std::string trace;     ///< the lookup commands that ran
    const char* note = ""; ///< what each diagnostic before that end contains (getopt_long's, the shell's)
    int notes = 0;
    const char* tulm = ""; ///< the lifecycle tool's listing; null: no such tool on PATH
    std::string ps = "";
    int psStatus = 0;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class CommandLine : public ::testing::TestWithParam<RunCase>
{
  protected:
    std::string withPid(std::string text) const
    {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@')) {
            text.replace(at, 1, std::to_string(target.pid()));
        }
        return text;
    }

    void writeStandIns(const RunCase& c) const
    {
        const std::string& d = dir.path;
        writeFile(d + "/grep", "#!/bin/sh\necho \"$*\" >>" + d + "/trace\nexec /usr/bin/grep \"$@\"\n", true);
        writeFile(d + "/ps.out", withPid(c.ps));
        const std::string psExit = "\nexit " + std::to_string(c.psStatus);
        writeFile(d + "/ps", "#!/bin/sh\necho ps >>" + d + "/trace\ncat " + d + "/ps.out" + psExit, true);
        if (c.tulm != nullptr) {
            writeFile(d + "/tulm.out", withPid(c.tulm));
            writeFile(d + "/tulm", "#!/bin/sh\ncat " + d + "/tulm.out\n", true);
        }
    }

    TempDir dir;
    ChildProcess target{{"/bin/sleep", "60"}};
};

TEST_P(CommandLine, Outcome)
{
    const auto& c = GetParam();
    writeStandIns(c);
    std::vector<std::string> args;
    for (const auto& arg : c.args) {
        args.push_back(withPid(arg));
    }
    ChildProcess agent(agentCommand(args), {{"PATH", dir.path + ":/usr/bin:/bin"}});
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
    EXPECT_EQ(readFile(dir.path + "/trace"), withPid(c.trace));
    EXPECT_TRUE(target.alive()) << "a SIGUSR1 sent to the target would have killed it";
}

const std::string fullLookup = "-w @\nps\n";
const std::vector<std::string> lookupArgs = {"-P", "@", "-C", "-S", "-D"};
const std::vector<std::string> badPidArgs = {"-P", "7", "-C", "a", "-P", "12x", "-S", "b"};
const std::vector<std::string> dashArgs = {"-pid", "1234", "-C", "-S"};
const std::string badPidErr = badPid + unrecognized + "ab\n" + noProcess, dashErr = unrecognized + "1234\n" + noProcess;
const std::string appUserLine = "app_user  @  1  0 10:00 ?  00:00:01 /usr/bin/app\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLine,
    ::testing::Values(
        RunCase{"NoOptions", {}, 1, "", noMode, ""},
        RunCase{"HelpBypassesRulesAndWinsOverVersion", {"--help", "-v", "-C", "-M"}, 0, helpPage, "", ""},
        RunCase{"VersionBypassesRules", {"--vers", "-C", "-M"}, 0, "2.1.0.0\n", "", ""},
        RunCase{"BadPidKeepsEarlierPidAndArgumentsRunTogether", badPidArgs, 1, "", badPidErr, "-w 7\nps\n"},
        RunCase{"SingleDashPidIsThreeUnknownOptions", dashArgs, 1, "", dashErr, "-w 0\nps\n", "invalid option", 3},
        RunCase{"PsFails", lookupArgs, 1, "", noProcess, fullLookup, "", 0, "", appUserLine, 3},
        RunCase{"ListedByLifecycleTool", lookupArgs, 1, "", refused, "-w @\n", "", 0, "app @ running\n", appUserLine},
        RunCase{"LifecycleToolMissingPsShowsIt", lookupArgs, 1, "", refused, fullLookup, "tulm", 1, nullptr,
                appUserLine}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLineFile, VersionSection)
{
    const TempDir dir;
    const std::string image = dir.path + "/version.bin";
    if (std::system(("objcopy -O binary --only-section=.version " + agentFile() + " " + image).c_str())) {
        GTEST_SKIP() << "objcopy cannot read the program file";
    }
    EXPECT_EQ(readFile(image), std::string("version=2.1.0.0", 16));
}

} // namespace
} // namespace YultTest
