#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <thread>

#include "platform/file_io.h"
#include "platform/win_path.h"

extern char** environ;

namespace korvun {

namespace {

std::string Directory(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string OwnDirectory() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return Directory(std::string(buffer, static_cast<size_t>(n)));
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file name resolved case-insensitively in directory, if a regular file is there.
std::optional<std::string> FindIn(const std::string& directory, const std::string& name) {
    std::string candidate = NativePath(directory.empty() ? name : directory + "/" + name);
    if (IsRegularFile(candidate)) return candidate;
    return std::nullopt;
}

std::optional<std::string> SearchOnce(const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return FindIn("", name);
    std::vector<std::string> directories;
    if (std::string own = OwnDirectory(); !own.empty()) directories.push_back(own);
    directories.push_back(".");
    if (const char* path = std::getenv("PATH")) {
        std::string list = path;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            // An empty PATH entry means the current directory.
            directories.push_back(end > start ? list.substr(start, end - start) : ".");
            start = end + 1;
        }
    }
    for (const std::string& directory : directories) {
        if (auto found = FindIn(directory, name)) return found;
    }
    return std::nullopt;
}

bool IsWindowsProgram(const std::string& path) {
    FileHandle file = OpenFile(path, OpenMode::ReadOnly);
    if (!file.IsOpen()) return false;
    char magic[2];
    return ReadFull(file.Get(), magic, sizeof magic) && magic[0] == 'M' && magic[1] == 'Z';
}

// Reaps one child. A thread per started program waits for exactly that process id, so no
// zombie remains and no other child of the process (a test's, a library's) is touched, as a
// SIGCHLD handler or waitpid(-1) would. A double fork would avoid the thread but forks a
// multi-threaded process, which is unsafe for anything but an immediate exec.
void ReapInBackground(pid_t pid) {
    std::thread([pid] {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace

std::optional<std::string> FindProgram(const std::string& name) {
    if (name.empty()) return std::nullopt;
    if (auto found = SearchOnce(name)) return found;
    size_t base = name.find_last_of("/\\");
    base = base == std::string::npos ? 0 : base + 1;
    if (name.find('.', base) == std::string::npos) return SearchOnce(name + ".exe");
    return std::nullopt;
}

bool StartProcess(const std::string& commandLine) {
    std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty()) return false;
    std::optional<std::string> program = FindProgram(args[0]);
    if (!program) return false;

    std::vector<std::string> argv;
    std::string executable;
    bool searchPath = false;
    if (IsWindowsProgram(*program)) {
        const char* loader = std::getenv("WINELOADER");
        executable = loader && *loader ? loader : "wine";
        searchPath = true;
        argv.push_back(executable);
        argv.push_back(*program);
    } else {
        if (::access(program->c_str(), X_OK) != 0) return false;
        executable = *program;
        argv.push_back(args[0]);
    }
    argv.insert(argv.end(), args.begin() + 1, args.end());

    std::vector<char*> argvPointers;
    for (std::string& arg : argv) argvPointers.push_back(arg.data());
    argvPointers.push_back(nullptr);

    // The updater may block or catch signals for its own use (the console waits for SIGINT
    // and SIGTERM on a descriptor); the started program gets a clean signal state.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD, SIGHUP, SIGQUIT}) {
        sigaddset(&defaults, signal);
    }
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid;
    int error = searchPath ? ::posix_spawnp(&pid, executable.c_str(), nullptr, &attributes,
                                            argvPointers.data(), environ)
                           : ::posix_spawn(&pid, executable.c_str(), nullptr, &attributes,
                                           argvPointers.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return false;
    }
    ReapInBackground(pid);
    return true;
}

}  // namespace korvun
