// Programs run as child processes with their output captured in files, the way an operator
// or a script runs korvun-updater-console: the one way the suites start the consoles and the
// operator's tool.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvun::test {

using namespace std::chrono_literals;

// How a child process ended.
struct ProcessEnd {
    std::optional<int> exitCode;  // when it exited
    int signal = 0;               // the signal that ended it, 0 when none did
    bool timedOut = false;        // killed at the time-out
    double seconds = 0;           // from the start of the wait to the end
};

// This process's environment without the variables named in unset, plus setEnv
// ("NAME=value" each).
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& unset,
                                          const std::vector<std::string>& setEnv);

// Starts args[0] (a path) with exactly the given environment, standard input from /dev/null,
// standard output to outFile (or to stdoutFd when that is not -1) and standard error to
// errFile, and the signal dispositions a terminal user's program starts with. Throws
// std::runtime_error when it cannot start.
pid_t SpawnProcess(const std::vector<std::string>& args,
                   const std::vector<std::string>& environment, const std::string& outFile,
                   const std::string& errFile, int stdoutFd = -1);

// Waits for a started process; kills it (SIGKILL) once timeout has passed.
ProcessEnd WaitProcess(pid_t pid, std::chrono::duration<double> timeout);

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
