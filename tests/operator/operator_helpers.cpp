#include "operator_helpers.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "support/nginx_fixture.h"

extern char** environ;

namespace korvun::test {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Environment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> variables;
    for (char** item = environ; *item; ++item) {
        std::string entry = *item;
        std::string name = entry.substr(0, entry.find('='));
        if (!extra.contains(name)) variables.push_back(entry);
    }
    for (const auto& [name, value] : extra) {
        if (!value.empty()) variables.push_back(name + "=" + value);
    }
    return variables;
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& extraEnv, int outputFd) {
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = Environment(extraEnv);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& extraEnv) {
    TempDirectory scratch("korvun-run");
    std::string outputFile = scratch.Path() + "/output";
    RunResult result;
    {
        Process process(program, args, extraEnv, outputFile);
        result.status = process.Wait();
    }
    result.output = ReadFileBytes(outputFile);
    return result;
}

RunResult Tool(const std::vector<std::string>& args) { return RunProgram(KORVUN_TOOL_PATH, args); }

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extraEnv,
                 const std::string& outputFile) {
    int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) throw std::runtime_error("cannot create " + outputFile);
    pid_ = Spawn(program, args, extraEnv, output);
    close(output);
    if (pid_ < 0) throw std::runtime_error("cannot start " + program);
}

Process::~Process() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        WaitFor(pid_);
    }
}

int Process::Wait() {
    if (status_ < 0) status_ = WaitFor(pid_);
    return status_;
}

PlayerEnvironment::PlayerEnvironment(const std::string& directory) {
    std::string system32 = directory + "/wine/drive_c/windows/system32";
    WriteFileBytes(system32 + "/d3d9.dll", "MZ placeholder");
    fs::create_directories(directory + "/runtime");
    fs::permissions(directory + "/runtime", fs::perms::owner_all);
    variables_ = {{"WINEPREFIX", directory + "/wine"},
                  {"XDG_RUNTIME_DIR", directory + "/runtime"},
                  {"DISPLAY", ""},
                  {"WAYLAND_DISPLAY", ""}};
}

void MakeClient(const std::string& tree, const std::string& clientDir, unsigned version,
                const std::string& serverAddress) {
    fs::copy(tree, clientDir, fs::copy_options::recursive);
    WriteFileBytes(clientDir + "/Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=" +
                                                   std::to_string(version) + "\r\n");
    WriteFileBytes(clientDir + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
    WriteFileBytes(clientDir + "/UpdaterURL.txt", serverAddress + "\r\n");
}

void PublishReleases(const std::string& treesDir, const std::string& packagesDir,
                     const std::string& serverRoot, unsigned versions) {
    fs::create_directories(packagesDir);
    std::vector<std::string> add{"release", "add", serverRoot};
    for (unsigned n = 2; n <= versions; ++n) {
        RunResult built =
            Tool({"package", "build", "--from", treesDir + "/v" + std::to_string(n - 1), "--to",
                  treesDir + "/v" + std::to_string(n), "--number", std::to_string(n), packagesDir});
        ASSERT_EQ(built.status, 0) << built.output;
        char name[32];
        std::snprintf(name, sizeof name, "/pk%.4u.patch", n);
        add.push_back(packagesDir + name);
    }
    RunResult init = Tool({"release", "init", serverRoot});
    ASSERT_EQ(init.status, 0) << init.output;
    RunResult added = Tool(add);
    ASSERT_EQ(added.status, 0) << added.output;
}

std::string VersionValue(const std::string& clientDir, const std::string& key) {
    std::istringstream in(ReadFileBytes(clientDir + "/Version.ini"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return {};
}

void MakeTree(const std::string& directory, const std::map<std::string, std::string>& loose,
              const std::map<std::string, std::string>& archive) {
    fs::create_directories(directory);
    for (const auto& [path, content] : loose) WriteFileBytes(directory + "/" + path, content);
    std::string source = directory + ".archive-content";
    fs::create_directories(source);
    for (const auto& [path, content] : archive) WriteFileBytes(source + "/" + path, content);
    RunResult packed = Tool({"archive", "pack", source, directory + "/data.kah"});
    ASSERT_EQ(packed.status, 0) << packed.output;
    fs::remove_all(source);
}

}  // namespace korvun::test
