#pragma once

namespace YultService::InputOptions {

/// What the command line asks for. Filled once by parse, read-only afterwards.
class InputParser
{
  public:
    /// Parses argv with GNU getopt_long; reports problems but never ends the process.
    void parse(int argc, char** argv);

    bool shouldStartProfiling() const { return startProfiling; }
    bool shouldStopProfiling() const { return stopProfiling; }
    bool shouldGetJavaScriptHeapSummary() const { return getJavaScriptHeapSummary; }
    bool isVerboseMode() const { return verboseMode; }
    bool isCPUMode() const { return cpuMode; }
    bool isMemoryMode() const { return memoryMode; }
    bool getDisplayHelp() const { return displayHelp; }
    bool getDisplayVersion() const { return displayVersion; }
    bool shouldUseDynamicPorting() const { return dynamicPort; }
    int getPID() const { return pid; }

    void setStartProfiling(bool value) { startProfiling = value; }
    void setStopProfiling(bool value) { stopProfiling = value; }
    void setGetJavaScriptHeapSummary(bool value) { getJavaScriptHeapSummary = value; }
    void setVerboseMode(bool value) { verboseMode = value; }
    void setCPUMode(bool value) { cpuMode = value; }
    void setMemoryMode(bool value) { memoryMode = value; }
    void setDisplayHelp(bool value) { displayHelp = value; }
    void setDisplayVersion(bool value) { displayVersion = value; }
    void setDynamicPort(bool value) { dynamicPort = value; }
    void setPID(int value) { pid = value; }

  private:
    void parsePID(const char* argument);
    void reportUnrecognizedArguments(int argc, char** argv);

    bool startProfiling = false;
    bool stopProfiling = false;
    bool getJavaScriptHeapSummary = false;
    bool verboseMode = false;
    bool cpuMode = false;
    bool memoryMode = false;
    bool displayHelp = false;
    bool displayVersion = false;
    bool dynamicPort = false;
    int pid = 0;
};

} // namespace YultService::InputOptions
