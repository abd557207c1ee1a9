#include "support/console_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/test_files.h"

extern char** environ;

namespace korvun::test {

namespace {

bool NamedIn(const std::string& entry, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
            entry[name.size()] == '=') {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& unset,
                                          const std::vector<std::string>& setEnv) {
    std::vector<std::string> names = unset;
    for (const std::string& assignment : setEnv) {
        names.push_back(assignment.substr(0, assignment.find('=')));
    }
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!NamedIn(*entry, names)) result.emplace_back(*entry);
    }
    result.insert(result.end(), setEnv.begin(), setEnv.end());
    return result;
}

namespace {

int OpenOutput(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    return fd;
}

}  // namespace

pid_t SpawnProcess(const std::vector<std::string>& args,
                   const std::vector<std::string>& environment, const std::string& outFile,
                   const std::string& errFile, int stdoutFd) {
    int out = OpenOutput(outFile);
    int err = OpenOutput(errFile);
    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);

    // A runner that ignores or blocks SIGINT would pass that on and make the stop tests
    // meaningless; the child starts with the defaults a terminal user's program has.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv, envp;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    close(err);
    if (in >= 0) close(in);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    return pid;
}

ProcessEnd WaitProcess(pid_t pid, std::chrono::duration<double> timeout) {
    ProcessEnd end;
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() - start >= timeout) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            end.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(2ms);
    }
    end.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    return end;
}

ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::string& outputPrefix,
                           const std::vector<std::string>& unset,
                           const std::vector<std::string>& setEnv, int stdoutFd)
    : outPath_(outputPrefix + ".out"), errPath_(outputPrefix + ".err") {
    pid_ = SpawnProcess(args, ChildEnvironment(unset, setEnv), outPath_, errPath_, stdoutFd);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

void ChildProcess::Signal(int signal) const {
    if (pid_ > 0 && !status_) kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    ProcessEnd end = WaitProcess(pid_, timeout);
    status_ = end.exitCode ? *end.exitCode : 128 + end.signal;
    if (end.timedOut) return std::nullopt;
    return status_;
}

std::string ChildProcess::Stdout() const { return ReadFileBytes(outPath_); }

std::string ChildProcess::Stderr() const { return ReadFileBytes(errPath_); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

ProgramResult RunProgram(const std::vector<std::string>& args, const std::string& scratchDir,
                         std::chrono::milliseconds timeout) {
    static std::atomic<int> counter{0};
    std::string prefix = scratchDir + "/program-" + std::to_string(++counter);
    ChildProcess child(args, prefix);
    ProgramResult result;
    result.status = child.Wait(timeout);
    result.out = child.Stdout();
    result.err = child.Stderr();
    return result;
}

}  // namespace korvun::test
