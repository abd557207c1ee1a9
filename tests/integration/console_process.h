// A program run as a child process with its output captured in files, the way an operator
// or a script runs korvun-updater-console.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvun::test {

using namespace std::chrono_literals;

class ChildProcess {
  public:
    // Starts args[0] (a path) with standard output and error in outputPrefix + ".out" and
    // ".err" (or standard output on stdoutFd when that is not -1). The child gets this
    // process's environment without the variables named in unset, plus setEnv ("NAME=value"
    // each). Throws std::runtime_error when it cannot start.
    ChildProcess(const std::vector<std::string>& args, const std::string& outputPrefix,
                 const std::vector<std::string>& unset = {},
                 const std::vector<std::string>& setEnv = {}, int stdoutFd = -1);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;

    // The exit status, 128 + the signal number when a signal ended it, or nullopt when it
    // did not end within timeout (it is then killed).
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    std::string Stdout() const;
    std::string Stderr() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_, errPath_;
};

// Polls condition every few milliseconds until it holds or timeout passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

struct ProgramResult {
    std::optional<int> status;
    std::string out, err;
};

// Runs a program to its end (killed after timeout); output files go under scratchDir.
ProgramResult RunProgram(const std::vector<std::string>& args, const std::string& scratchDir,
                         std::chrono::milliseconds timeout = 60s);

}  // namespace korvun::test
