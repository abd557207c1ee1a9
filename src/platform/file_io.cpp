#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/stop_event.h"
#include "platform/win_path.h"

#ifdef KORVUN_FAULT_INJECTION
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>
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
//   KORVUN_FAULT_MODE=powerloss just before N, every write not yet made durable is thrown
//                               away (see PowerLoss below), then the process is killed
//   KORVUN_FAULT_ERRNO=ENOSPC   or EIO (the default): the error a failed operation reports
//   KORVUN_TEST_PAUSE_AT=NAME   the process stops itself (SIGSTOP) at each TestPoint NAME
//   KORVUN_TEST_STOP_REQUEST_AT=NAME  at TestPoint NAME (after a pause there) the process
//                               sends itself SIGTERM, as a player's Ctrl+C, and goes on only
//                               once the stop event is set: the stop lands exactly there
//   KORVUN_FAULT_LOG=FILE       appends "N OPERATION PATH" per operation and "point NAME"
//                               per TestPoint, so a test can count and place operations
// A failed write first writes half of its bytes, as a disk that fills up midway does.
struct FaultPlan {
    enum class Mode { Once, From, Kill, PowerLoss };
    uint64_t at = 0;
    Mode mode = Mode::Once;
    int error = EIO;
    int logFd = -1;
    std::string stopAt;
    uint64_t stopOccurrence = 1;
    std::string pauseAt;
    std::string stopRequestAt;
};

FaultPlan ReadFaultPlan() {
    FaultPlan plan;
    if (const char* at = std::getenv("KORVUN_FAULT_AT")) plan.at = std::strtoull(at, nullptr, 10);
    if (const char* mode = std::getenv("KORVUN_FAULT_MODE")) {
        if (std::strcmp(mode, "from") == 0) plan.mode = FaultPlan::Mode::From;
        if (std::strcmp(mode, "kill") == 0) plan.mode = FaultPlan::Mode::Kill;
        if (std::strcmp(mode, "powerloss") == 0) plan.mode = FaultPlan::Mode::PowerLoss;
    }
    if (const char* error = std::getenv("KORVUN_FAULT_ERRNO")) {
        if (std::strcmp(error, "ENOSPC") == 0) plan.error = ENOSPC;
    }
    if (const char* log = std::getenv("KORVUN_FAULT_LOG")) {
        plan.logFd = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (const char* pause = std::getenv("KORVUN_TEST_PAUSE_AT")) plan.pauseAt = pause;
    if (const char* stop = std::getenv("KORVUN_TEST_STOP_REQUEST_AT")) plan.stopRequestAt = stop;
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

// A power cut, as a disk with a volatile write cache and a file system that orders nothing
// leaves it: each file holds what it held at its last fsync (or when this process first
// changed it), and a creation, rename or deletion that no fsync of its folder followed is
// undone. To be able to do that, every change of a file first saves the bytes it replaces
// (once per byte until the next fsync), and a name that a rename or deletion takes away stays
// reachable through a hidden hard link until its folder is flushed.
class PowerLoss {
  public:
    static bool Active() { return Plan().mode == FaultPlan::Mode::PowerLoss; }
    static PowerLoss& Instance() {
        static PowerLoss* instance = [] {
            // A run that ends on its own was never cut: the kept names go.
            std::atexit([] { Instance().Forget(); });
            return new PowerLoss;  // outlives every file operation
        }();
        return *instance;
    }

    // Before fd's bytes [from, to) change (to = UINT64_MAX: to the end).
    void BeforeChange(int fd, uint64_t from, uint64_t to) {
        std::lock_guard<std::mutex> lock(mutex_);
        FileState* file = Track(fd);
        if (!file) return;
        to = std::min(to, file->durableSize);
        for (uint64_t at = from; at < to;) {
            auto [gapStart, gapEnd] = FirstGap(*file, at, to);
            if (gapStart >= to) break;
            std::string old(static_cast<size_t>(gapEnd - gapStart), '\0');
            ssize_t got =
                ::pread(file->keptFd, old.data(), old.size(), static_cast<off_t>(gapStart));
            old.resize(got > 0 ? static_cast<size_t>(got) : 0);
            file->saved.emplace_back(gapStart, std::move(old));
            file->covered[gapStart] = gapEnd;
            at = gapEnd;
        }
    }
    void BeforeAppend(int fd, size_t size) {
        struct stat st;
        if (::fstat(fd, &st) == 0)
            BeforeChange(fd, static_cast<uint64_t>(st.st_size), st.st_size + size);
    }
    void BeforeWrite(int fd, size_t size) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_APPEND)) return BeforeAppend(fd, size);
        off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= 0) BeforeChange(fd, static_cast<uint64_t>(at), static_cast<uint64_t>(at) + size);
    }
    void Synced(int fd) {
        struct stat st;
        if (::fstat(fd, &st) != 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = files_.find({st.st_dev, st.st_ino});
        if (found == files_.end()) return;
        ::close(found->second.keptFd);
        files_.erase(found);
    }
    void BeforeOpen(const std::string& path, OpenMode mode, bool& creates) {
        creates = false;
        if (mode == OpenMode::ReadOnly || mode == OpenMode::ReadWrite) return;
        if (::access(path.c_str(), F_OK) != 0) {
            creates = true;
            return;
        }
        if (mode != OpenMode::WriteCreateTruncate) return;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        BeforeChange(fd, 0, UINT64_MAX);
        ::close(fd);
    }
    void Created(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(NameChange{Folder(path), path, "", ""});
    }
    // Keeps the file at path reachable under a hidden name until its folder is flushed.
    std::string Keep(const std::string& path) {
        if (::access(path.c_str(), F_OK) != 0) return {};
        std::string hidden = ParentOf(path) + "/.power-loss-kept-" + std::to_string(++kept_);
        return ::link(path.c_str(), hidden.c_str()) == 0 ? hidden : std::string();
    }
    void Renamed(const std::string& from, const std::string& to, const std::string& hidden) {
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(NameChange{Folder(to), to, from, hidden});
    }
    void Deleted(const std::string& path, const std::string& hidden, bool deleted) {
        if (hidden.empty()) return;
        if (!deleted) {
            ::unlink(hidden.c_str());
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        names_.push_back(NameChange{Folder(path), "", path, hidden});
    }
    void FolderSynced(const std::string& folder) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::pair<dev_t, ino_t> key = FolderKey(folder);
        std::vector<NameChange> kept;
        for (NameChange& change : names_) {
            if (change.folder == key) {
                if (!change.hidden.empty()) ::unlink(change.hidden.c_str());
            } else {
                kept.push_back(std::move(change));
            }
        }
        names_ = std::move(kept);
    }
    void Forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (NameChange& change : names_) {
            if (!change.hidden.empty()) ::unlink(change.hidden.c_str());
        }
        names_.clear();
    }
    void EverythingSynced() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [key, file] : files_) ::close(file.keptFd);
        files_.clear();
        for (NameChange& change : names_) {
            if (!change.hidden.empty()) ::unlink(change.hidden.c_str());
        }
        names_.clear();
    }
    [[noreturn]] void Cut() {
        mutex_.lock();  // held to the end: no other thread changes a file after this
        for (auto& [key, file] : files_) {
            for (auto it = file.saved.rbegin(); it != file.saved.rend(); ++it) {
                (void)!::pwrite(file.keptFd, it->second.data(), it->second.size(),
                                static_cast<off_t>(it->first));
            }
            (void)!::ftruncate(file.keptFd, static_cast<off_t>(file.durableSize));
        }
        for (auto change = names_.rbegin(); change != names_.rend(); ++change) {
            if (change->path.empty()) {  // a deletion
                ::rename(change->hidden.c_str(), change->from.c_str());
            } else if (change->from.empty()) {  // a creation
                ::unlink(change->path.c_str());
            } else {  // a rename, perhaps over another file
                ::rename(change->path.c_str(), change->from.c_str());
                if (!change->hidden.empty()) ::rename(change->hidden.c_str(), change->path.c_str());
            }
        }
        ::raise(SIGKILL);
        for (;;) ::pause();
    }

  private:
    struct FileState {
        int keptFd = -1;  // reaches the file whatever it is called by then
        uint64_t durableSize = 0;
        std::vector<std::pair<uint64_t, std::string>> saved;  // in the order saved
        std::map<uint64_t, uint64_t> covered;                 // start -> end, disjoint
    };
    struct NameChange {
        std::pair<dev_t, ino_t> folder;
        std::string path;    // the name made (creation, rename target); empty for a deletion
        std::string from;    // the name a rename took or a deletion removed
        std::string hidden;  // the file that the change took the name from
    };

    static std::string ParentOf(const std::string& path) {
        auto slash = path.find_last_of('/');
        if (slash == std::string::npos) return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }
    static std::pair<dev_t, ino_t> FolderKey(const std::string& folder) {
        struct stat st {};
        ::stat(folder.c_str(), &st);
        return {st.st_dev, st.st_ino};
    }
    static std::pair<dev_t, ino_t> Folder(const std::string& path) {
        return FolderKey(ParentOf(path));
    }
    FileState* Track(int fd) {
        struct stat st;
        if (::fstat(fd, &st) != 0) return nullptr;
        auto [found, fresh] = files_.try_emplace({st.st_dev, st.st_ino});
        if (fresh) {
            std::string self = "/proc/self/fd/" + std::to_string(fd);
            found->second.keptFd = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
            if (found->second.keptFd < 0) found->second.keptFd = ::dup(fd);
            found->second.durableSize = static_cast<uint64_t>(st.st_size);
        }
        return &found->second;
    }
    // The first stretch of [from, to) not saved yet: [start, end), start >= to when none.
    static std::pair<uint64_t, uint64_t> FirstGap(const FileState& file, uint64_t from,
                                                  uint64_t to) {
        uint64_t at = from;
        auto next = file.covered.upper_bound(at);
        if (next != file.covered.begin()) {
            auto before = std::prev(next);
            if (before->second > at) at = before->second;
        }
        while (next != file.covered.end() && next->first <= at) {
            at = std::max(at, next->second);
            ++next;
        }
        if (at >= to) return {to, to};
        uint64_t end = next == file.covered.end() ? to : std::min(to, next->first);
        return {at, end};
    }

    std::mutex mutex_;
    std::map<std::pair<dev_t, ino_t>, FileState> files_;
    std::vector<NameChange> names_;
    unsigned kept_ = 0;
};

// Counts one operation; true (errno set) when it must fail.
bool InjectFault(const char* operation, const std::string& path) {
    const FaultPlan& plan = Plan();
    uint64_t n = ++operationCount;
    if (plan.logFd >= 0) LogLine(std::to_string(n) + " " + operation + " " + path + "\n");
    if (plan.at == 0 || n < plan.at) return false;
    if (plan.mode == FaultPlan::Mode::Kill) ::raise(SIGKILL);
    if (plan.mode == FaultPlan::Mode::PowerLoss) PowerLoss::Instance().Cut();
    if (plan.mode == FaultPlan::Mode::Once && n != plan.at) return false;
    errno = plan.error;
    return true;
}
#define KORVUN_FAULT(operation, path, failure) \
    if (InjectFault(operation, path)) return failure
// Runs the statement only in a power-loss run of a test build.
#define KORVUN_POWER_LOSS(statement) \
    if (PowerLoss::Active()) statement
#else
#define KORVUN_FAULT(operation, path, failure)
#define KORVUN_POWER_LOSS(statement)
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

// A FIFO or a device planted under a name the updater reads would block its open or its reads
// for good, past any stop request: the open does not wait (O_NONBLOCK), and what opened is kept
// only when it is a regular file. Only a file that is written from its start may be another
// kind of file (a full-disk test writes to /dev/full); a FIFO never, as its writes wait for a
// reader.
bool KeepOpenedFile(int fd, OpenMode mode) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    bool regular = S_ISREG(st.st_mode);
    if (!regular && (mode != OpenMode::WriteCreateTruncate || S_ISFIFO(st.st_mode))) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

std::string ParentDirectory(const std::string& native) {
    auto slash = native.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

}  // namespace

void FileHandle::Reset(int fd) {
    if (fd_ != -1) {
        int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

FileHandle OpenFile(const std::string& name, OpenMode mode) {
    return OpenNativeFile(NativePath(name), mode);
}

FileHandle OpenNativeFile(const std::string& native, OpenMode mode) {
    KORVUN_FAULT("open", native, FileHandle());
    [[maybe_unused]] bool creates = false;
    KORVUN_POWER_LOSS(PowerLoss::Instance().BeforeOpen(native, mode, creates));
    int fd;
    do {
        fd = ::open(native.c_str(), OpenFlags(mode) | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && !KeepOpenedFile(fd, mode)) {
        int error = errno;
        ::close(fd);
        errno = error;
        return FileHandle();
    }
    KORVUN_POWER_LOSS(if (fd >= 0 && creates) PowerLoss::Instance().Created(native));
    return FileHandle(fd);
}

std::FILE* OpenReadStream(const std::string& name) {
    int fd;
    do {
        fd = ::open(NativePath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    std::FILE* stream = KeepOpenedFile(fd, OpenMode::ReadOnly) ? ::fdopen(fd, "r") : nullptr;
    if (stream == nullptr) {
        int error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

bool CloseFile(int& fd) {
    if (fd == -1) return true;
    // The descriptor is gone whatever close() says; retrying after EINTR could close another.
    bool closed = ::close(fd) == 0 || errno == EINTR;
    fd = -1;
    return closed;
}

int64_t ReadSome(int fd, void* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return n;
        if (errno != EINTR) return -1;
    }
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
    KORVUN_POWER_LOSS(PowerLoss::Instance().BeforeWrite(fd, size));
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

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        out += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    KORVUN_FAULT("write", DescriptorPath(fd), false);
    KORVUN_POWER_LOSS(PowerLoss::Instance().BeforeChange(fd, offset, offset + size));
    const auto* in = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, in, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        in += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool TruncateFile(int fd, uint64_t length) {
    KORVUN_FAULT("truncate", DescriptorPath(fd), false);
    KORVUN_POWER_LOSS(PowerLoss::Instance().BeforeChange(fd, length, UINT64_MAX));
    int result;
    do {
        result = ::ftruncate(fd, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

int64_t SeekFile(int fd, int64_t offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

bool SyncFile(int fd) {
    KORVUN_FAULT("fsync", DescriptorPath(fd), false);
    if (::fsync(fd) != 0) return false;
    KORVUN_POWER_LOSS(PowerLoss::Instance().Synced(fd));
    return true;
}

bool SyncFileSystem(const std::string& name) {
    KORVUN_FAULT("syncfs", NativePath(name), false);
    int fd = ::open(NativePath(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    KORVUN_POWER_LOSS(if (ok) PowerLoss::Instance().EverythingSynced());
    return ok;
}

void StartWriteback(int fd) { ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

bool SyncParentDirectory(const std::string& name) {
    KORVUN_FAULT("fsync", ParentDirectory(NativePath(name)), false);
    FileHandle dir(
        ::open(ParentDirectory(NativePath(name)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool ok = dir.IsOpen() && ::fsync(dir.Get()) == 0;
    KORVUN_POWER_LOSS(
        if (ok) PowerLoss::Instance().FolderSynced(ParentDirectory(NativePath(name))));
    return ok;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    KORVUN_FAULT("rename", NativePath(from) + " " + NativePath(to), false);
    [[maybe_unused]] std::string kept;
    KORVUN_POWER_LOSS(kept = PowerLoss::Instance().Keep(NativePath(to)));
    if (::rename(NativePath(from).c_str(), NativePath(to).c_str()) != 0) {
        KORVUN_POWER_LOSS(if (!kept.empty())::unlink(kept.c_str()));
        return false;
    }
    KORVUN_POWER_LOSS(PowerLoss::Instance().Renamed(NativePath(from), NativePath(to), kept));
    return SyncParentDirectory(to);
}

bool DeleteFile(const std::string& name) {
    [[maybe_unused]] std::string kept;
    KORVUN_POWER_LOSS(kept = PowerLoss::Instance().Keep(NativePath(name)));
    bool deleted = ::unlink(NativePath(name).c_str()) == 0;
    bool gone = deleted || errno == ENOENT;
    KORVUN_POWER_LOSS(PowerLoss::Instance().Deleted(NativePath(name), kept, deleted));
    return gone;
}

bool FileExists(const std::string& name) { return ::access(NativePath(name).c_str(), F_OK) == 0; }

std::optional<uint64_t> OpenFileLength(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

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
    // Stopped, the run waits for a test to change the world around it (fill the disk, say)
    // and to let it go on with SIGCONT.
    if (plan.pauseAt == name) ::raise(SIGSTOP);
    if (plan.stopRequestAt == name) {
        // The signal is read by another thread; the run must not go on before that thread
        // has passed it on, or the step after this point may finish before it sees the stop.
        uint64_t before = StopEventsSetSoFar();
        ::kill(::getpid(), SIGTERM);
        for (int waited = 0; StopEventsSetSoFar() == before && waited < 30000; ++waited) {
            ::usleep(1000);
        }
    }
    if (plan.stopAt == name && ++reached == plan.stopOccurrence) {
        if (PowerLoss::Active()) PowerLoss::Instance().Cut();
        ::raise(SIGKILL);
    }
}
#endif

}  // namespace korvun
