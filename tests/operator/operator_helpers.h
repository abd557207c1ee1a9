// Running korvun-tool and korvun-updater-console as separate processes, and the trees,
// servers and clients the operator tests need.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace korvun::test {

struct RunResult {
    int status = -1;     // exit status, or 128 + signal
    std::string output;  // standard output and standard error, interleaved
};

// Runs program with args; extraEnv entries replace or add variables, and an empty value
// removes one. Waits for the end.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& extraEnv = {});

RunResult Tool(const std::vector<std::string>& args);

// A started process whose output goes to a file.
class Process {
  public:
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& extraEnv, const std::string& outputFile);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    pid_t Pid() const { return pid_; }
    // Waits for the end; the exit status, or 128 + signal.
    int Wait();

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Everything a player's machine needs to run the console updater in a test: a Wine prefix
// with d3d9.dll, its own lock directory (so tests may run side by side), no display.
class PlayerEnvironment {
  public:
    explicit PlayerEnvironment(const std::string& directory);
    const std::map<std::string, std::string>& Variables() const { return variables_; }

  private:
    std::map<std::string, std::string> variables_;
};

// Copies a release tree to clientDir as a client at version, pointed at the server address.
void MakeClient(const std::string& tree, const std::string& clientDir, unsigned version,
                const std::string& serverAddress);

// Builds packages 2..versions from trees/v1..vN into packagesDir and publishes them in
// serverRoot (client installers at version 1). Fails the test on any error.
void PublishReleases(const std::string& treesDir, const std::string& packagesDir,
                     const std::string& serverRoot, unsigned versions);

// Value of a key in [Version] of a client's Version.ini (plain text search).
std::string VersionValue(const std::string& clientDir, const std::string& key);

// A tree for package build: loose files and the content of its archive (paths with '/'),
// the archive packed with korvun-tool archive pack.
void MakeTree(const std::string& directory, const std::map<std::string, std::string>& loose,
              const std::map<std::string, std::string>& archive);

}  // namespace korvun::test
