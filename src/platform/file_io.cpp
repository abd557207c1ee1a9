#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win_path.h"

#ifdef KORVUN_FAULT_INJECTION
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#endif

namespace korvun {

namespace {

#ifdef KORVUN_FAULT_INJECTION
// Test builds only. The environment chooses one counted file operation (open, write, fsync,
// rename; numbered from 1 in the order the process makes them) and what happens to it:
//   KORVUN_FAULT_AT=N           the operation, 0 or unset for none
//   KORVUN_FAULT_MODE=once      only operation N fails (the default)
//   KORVUN_FAULT_MODE=from      N and every later operation fail, as on a full disk
//   KORVUN_FAULT_MODE=kill      the process kills itself with SIGKILL just before N
//   KORVUN_FAULT_ERRNO=ENOSPC   or EIO (the default): the error a failed operation reports
//   KORVUN_FAULT_LOG=FILE       appends "N OPERATION PATH" per operation and "point NAME"
//                               per TestPoint, so a test can count and place operations
// A failed write first writes half of its bytes, as a disk that fills up midway does.
struct FaultPlan {
    enum class Mode { Once, From, Kill };
    uint64_t at = 0;
    Mode mode = Mode::Once;
    int error = EIO;
    int logFd = -1;
    std::string stopAt;
    uint64_t stopOccurrence = 1;
};

FaultPlan ReadFaultPlan() {
    FaultPlan plan;
    if (const char* at = std::getenv("KORVUN_FAULT_AT")) plan.at = std::strtoull(at, nullptr, 10);
    if (const char* mode = std::getenv("KORVUN_FAULT_MODE")) {
        if (std::strcmp(mode, "from") == 0) plan.mode = FaultPlan::Mode::From;
        if (std::strcmp(mode, "kill") == 0) plan.mode = FaultPlan::Mode::Kill;
    }
    if (const char* error = std::getenv("KORVUN_FAULT_ERRNO")) {
        if (std::strcmp(error, "ENOSPC") == 0) plan.error = ENOSPC;
    }
    if (const char* log = std::getenv("KORVUN_FAULT_LOG")) {
        plan.logFd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (const char* stop = std::getenv("KORVUN_TEST_STOP_AT")) {
        plan.stopAt = stop;
        auto colon = plan.stopAt.find(':');
        if (colon != std::string::npos) {
            plan.stopOccurrence = std::strtoull(plan.stopAt.c_str() + colon + 1, nullptr, 10);
            plan.stopAt.resize(colon);
        }
    }
    return plan;
}

const FaultPlan& Plan() {
    static const FaultPlan plan = ReadFaultPlan();
    return plan;
}

std::atomic<uint64_t> operationCount{0};

void LogLine(const std::string& line) {
    if (Plan().logFd >= 0) (void)!::write(Plan().logFd, line.data(), line.size());
}

// The path behind a descriptor, looked up only when there is a log to write it to.
std::string DescriptorPath(int fd) {
    if (Plan().logFd < 0) return {};
    char target[4096];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : link;
}

// Counts one operation; true (errno set) when it must fail.
bool InjectFault(const char* operation, const std::string& path) {
    const FaultPlan& plan = Plan();
    uint64_t n = ++operationCount;
    if (plan.logFd >= 0) LogLine(std::to_string(n) + " " + operation + " " + path + "\n");
    if (plan.at == 0 || n < plan.at) return false;
    if (plan.mode == FaultPlan::Mode::Kill) ::raise(SIGKILL);
    if (plan.mode == FaultPlan::Mode::Once && n != plan.at) return false;
    errno = plan.error;
    return true;
}
#define KORVUN_FAULT(operation, path, failure) \
    if (InjectFault(operation, path)) return failure
#else
#define KORVUN_FAULT(operation, path, failure)
#endif

// A file the updater creates or rewrites never follows a symbolic link in its last component:
// a link planted where a download or a temporary file goes would otherwise receive the bytes
// wherever it points, outside the game directory too. Such an open fails with ELOOP.
int OpenFlags(OpenMode mode) {
    switch (mode) {
        case OpenMode::ReadOnly:
            return O_RDONLY;
        case OpenMode::WriteCreateTruncate:
            return O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
        case OpenMode::ReadWrite:
            return O_RDWR;
        case OpenMode::ReadWriteAppend:
            return O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW;
    }
    return O_RDONLY;
}

std::string ParentDirectory(const std::string& native) {
    auto slash = native.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

}  // namespace

int OpenFile(const std::string& name, OpenMode mode) {
    return OpenNativeFile(NativePath(name), mode);
}

int OpenNativeFile(const std::string& native, OpenMode mode) {
    KORVUN_FAULT("open", native, -1);
    int fd;
    do {
        fd = ::open(native.c_str(), OpenFlags(mode) | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseFile(int& fd) {
    if (fd != -1) {
        ::close(fd);
        fd = -1;
    }
}

int64_t ReadSome(int fd, void* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return n;
        if (errno != EINTR) return -1;
    }
}

bool ReadFull(int fd, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        int64_t n = ReadSome(fd, out, size);
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        out += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteFull(int fd, const void* buffer, size_t size) {
    const auto* in = static_cast<const char*>(buffer);
#ifdef KORVUN_FAULT_INJECTION
    if (InjectFault("write", DescriptorPath(fd))) {
        int error = errno;
        if (::write(fd, in, size / 2) < 0) error = errno;
        errno = error;
        return false;
    }
#endif
    while (size > 0) {
        ssize_t n = ::write(fd, in, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        in += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int64_t SeekFile(int fd, int64_t offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

bool SyncFile(int fd) {
    KORVUN_FAULT("fsync", DescriptorPath(fd), false);
    return ::fsync(fd) == 0;
}

void StartWriteback(int fd) { ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

bool SyncParentDirectory(const std::string& name) {
    KORVUN_FAULT("fsync", ParentDirectory(NativePath(name)), false);
    int dir = ::open(ParentDirectory(NativePath(name)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    bool ok = ::fsync(dir) == 0;
    ::close(dir);
    return ok;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    KORVUN_FAULT("rename", NativePath(from) + " " + NativePath(to), false);
    if (::rename(NativePath(from).c_str(), NativePath(to).c_str()) != 0) return false;
    return SyncParentDirectory(to);
}

bool DeleteFile(const std::string& name) {
    return ::unlink(NativePath(name).c_str()) == 0 || errno == ENOENT;
}

bool FileExists(const std::string& name) { return ::access(NativePath(name).c_str(), F_OK) == 0; }

std::optional<uint64_t> FileSize(const std::string& name) {
    struct stat st;
    if (::stat(NativePath(name).c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

#ifdef KORVUN_FAULT_INJECTION
void TestPoint(const char* name) {
    static std::atomic<uint64_t> reached{0};
    LogLine(std::string("point ") + name + "\n");
    const FaultPlan& plan = Plan();
    if (plan.stopAt == name && ++reached == plan.stopOccurrence) ::raise(SIGKILL);
}
#endif

}  // namespace korvun
