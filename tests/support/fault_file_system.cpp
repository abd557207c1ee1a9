#include "support/fault_file_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/stop_event.h"

namespace korvun::test {

// A power cut, as a disk with a volatile write cache and a file system that orders nothing
// leaves it: each file holds what it held at its last fsync (or when this process first
// changed it), and a creation, rename or deletion that no fsync of its folder followed is
// undone. To be able to do that, every change of a file first saves the bytes it replaces
// (once per byte until the next fsync), and a name that a rename or deletion takes away stays
// reachable through a hidden hard link until its folder is flushed.
class PowerLossRecord {
  public:
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

namespace {

std::string ParentDirectory(const std::string& native) {
    auto slash = native.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : native.substr(0, slash);
}

}  // namespace

FaultFileSystem::FaultFileSystem(FileSystem& inner, FaultPlan plan)
    : inner_(inner), plan_(std::move(plan)), powerLoss_(std::make_unique<PowerLossRecord>()) {
    if (plan_.error == 0) plan_.error = EIO;
    if (!plan_.logFile.empty()) {
        logFd_ = ::open(plan_.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

FaultFileSystem::~FaultFileSystem() {
    ForgetKeptNames();
    if (logFd_ >= 0) ::close(logFd_);
}

void FaultFileSystem::ForgetKeptNames() { powerLoss_->Forget(); }

void FaultFileSystem::Log(const std::string& line) {
    if (logFd_ >= 0) (void)!::write(logFd_, line.data(), line.size());
}

// The path behind a descriptor, looked up only when there is a log to write it to.
std::string FaultFileSystem::DescriptorPath(int fd) const {
    if (logFd_ < 0) return {};
    char target[4096];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : link;
}

bool FaultFileSystem::InjectFault(const char* operation, const std::string& path) {
    uint64_t n = ++operations_;
    if (logFd_ >= 0) Log(std::to_string(n) + " " + operation + " " + path + "\n");
    if (plan_.at == 0 || n < plan_.at) return false;
    if (plan_.mode == FaultPlan::Mode::Kill) ::raise(SIGKILL);
    if (plan_.mode == FaultPlan::Mode::PowerLoss) powerLoss_->Cut();
    if (plan_.mode == FaultPlan::Mode::Once && n != plan_.at) return false;
    errno = plan_.error;
    return true;
}

FileHandle FaultFileSystem::Open(const std::string& native, OpenMode mode) {
    if (InjectFault("open", native)) return FileHandle();
    bool creates = false;
    if (PowerLossMode()) powerLoss_->BeforeOpen(native, mode, creates);
    FileHandle file = inner_.Open(native, mode);
    if (PowerLossMode() && file.IsOpen() && creates) powerLoss_->Created(native);
    return file;
}

std::FILE* FaultFileSystem::OpenReadStream(const std::string& native) {
    return inner_.OpenReadStream(native);
}

bool FaultFileSystem::Close(int fd) { return inner_.Close(fd); }

int64_t FaultFileSystem::ReadSome(int fd, void* buffer, size_t size) {
    return inner_.ReadSome(fd, buffer, size);
}

bool FaultFileSystem::ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    return inner_.ReadAt(fd, buffer, size, offset);
}

// A failed write first writes half of its bytes, as a disk that fills up midway does.
bool FaultFileSystem::WriteFull(int fd, const void* buffer, size_t size) {
    if (InjectFault("write", DescriptorPath(fd))) {
        int error = errno;
        if (!inner_.WriteFull(fd, buffer, size / 2)) error = errno;
        errno = error;
        return false;
    }
    if (PowerLossMode()) powerLoss_->BeforeWrite(fd, size);
    return inner_.WriteFull(fd, buffer, size);
}

bool FaultFileSystem::WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    if (InjectFault("write", DescriptorPath(fd))) return false;
    if (PowerLossMode()) powerLoss_->BeforeChange(fd, offset, offset + size);
    return inner_.WriteAt(fd, buffer, size, offset);
}

bool FaultFileSystem::Truncate(int fd, uint64_t length) {
    if (InjectFault("truncate", DescriptorPath(fd))) return false;
    if (PowerLossMode()) powerLoss_->BeforeChange(fd, length, UINT64_MAX);
    return inner_.Truncate(fd, length);
}

int64_t FaultFileSystem::Seek(int fd, int64_t offset, int whence) {
    return inner_.Seek(fd, offset, whence);
}

std::optional<uint64_t> FaultFileSystem::Length(int fd) { return inner_.Length(fd); }

bool FaultFileSystem::Sync(int fd) {
    if (InjectFault("fsync", DescriptorPath(fd))) return false;
    if (!inner_.Sync(fd)) return false;
    if (PowerLossMode()) powerLoss_->Synced(fd);
    return true;
}

bool FaultFileSystem::SyncFileSystem(const std::string& native) {
    if (InjectFault("syncfs", native)) return false;
    bool ok = inner_.SyncFileSystem(native);
    if (ok && PowerLossMode()) powerLoss_->EverythingSynced();
    return ok;
}

void FaultFileSystem::StartWriteback(int fd) { inner_.StartWriteback(fd); }

bool FaultFileSystem::SyncParentDirectory(const std::string& native) {
    std::string folder = ParentDirectory(native);
    if (InjectFault("fsync", folder)) return false;
    bool ok = inner_.SyncParentDirectory(native);
    if (ok && PowerLossMode()) powerLoss_->FolderSynced(folder);
    return ok;
}

bool FaultFileSystem::Rename(const std::string& from, const std::string& to) {
    if (InjectFault("rename", from + " " + to)) return false;
    std::string kept;
    if (PowerLossMode()) kept = powerLoss_->Keep(to);
    if (!inner_.Rename(from, to)) {
        if (!kept.empty()) ::unlink(kept.c_str());
        return false;
    }
    if (PowerLossMode()) powerLoss_->Renamed(from, to, kept);
    return true;
}

bool FaultFileSystem::Delete(const std::string& native) {
    std::string kept;
    if (PowerLossMode()) kept = powerLoss_->Keep(native);
    bool gone = inner_.Delete(native);
    if (PowerLossMode()) powerLoss_->Deleted(native, kept, gone);
    return gone;
}

bool FaultFileSystem::Exists(const std::string& native) { return inner_.Exists(native); }

std::optional<uint64_t> FaultFileSystem::Size(const std::string& native) {
    return inner_.Size(native);
}

void FaultFileSystem::Reached(const char* point) {
    Log(std::string("point ") + point + "\n");
    // Stopped, the run waits for a test to change the world around it (fill the disk, say)
    // and to let it go on with SIGCONT.
    if (plan_.pauseAt == point) ::raise(SIGSTOP);
    if (plan_.stopRequestAt == point) {
        // The signal is read by another thread; the run must not go on before that thread
        // has passed it on, or the step after this point may finish before it sees the stop.
        uint64_t before = StopEventsSetSoFar();
        ::kill(::getpid(), SIGTERM);
        for (int waited = 0; StopEventsSetSoFar() == before && waited < 30000; ++waited) {
            ::usleep(1000);
        }
    }
    if (plan_.stopAt == point && ++stopsReached_ == plan_.stopOccurrence) {
        if (PowerLossMode()) powerLoss_->Cut();
        ::raise(SIGKILL);
    }
}

}  // namespace korvun::test
