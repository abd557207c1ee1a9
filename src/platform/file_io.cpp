// The native file system on POSIX systems: the descriptor calls, with the few rules that keep
// the updater safe from what it finds in the game directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"

namespace korvun {

namespace {

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

FileHandle NativeFileSystem::Open(const std::string& native, OpenMode mode) {
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
    return FileHandle(fd);
}

std::FILE* NativeFileSystem::OpenReadStream(const std::string& native) {
    int fd;
    do {
        fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

bool NativeFileSystem::Close(int fd) {
    // Retrying after EINTR could close another file opened meanwhile under the same number.
    return ::close(fd) == 0 || errno == EINTR;
}

int64_t NativeFileSystem::ReadSome(int fd, void* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return n;
        if (errno != EINTR) return -1;
    }
}

bool NativeFileSystem::WriteFull(int fd, const void* buffer, size_t size) {
    const auto* in = static_cast<const char*>(buffer);
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

bool NativeFileSystem::ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
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

bool NativeFileSystem::WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) {
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

bool NativeFileSystem::Truncate(int fd, uint64_t length) {
    int result;
    do {
        result = ::ftruncate(fd, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

int64_t NativeFileSystem::Seek(int fd, int64_t offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

std::optional<uint64_t> NativeFileSystem::Length(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

bool NativeFileSystem::Sync(int fd) { return ::fsync(fd) == 0; }

bool NativeFileSystem::SyncFileSystem(const std::string& native) {
    int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

void NativeFileSystem::StartWriteback(int fd) {
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool NativeFileSystem::SyncParentDirectory(const std::string& native) {
    FileHandle dir(::open(ParentDirectory(native).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.IsOpen() && ::fsync(dir.Get()) == 0;
}

bool NativeFileSystem::Rename(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool NativeFileSystem::Delete(const std::string& native) {
    return ::unlink(native.c_str()) == 0 || errno == ENOENT;
}

bool NativeFileSystem::Exists(const std::string& native) {
    return ::access(native.c_str(), F_OK) == 0;
}

std::optional<uint64_t> NativeFileSystem::Size(const std::string& native) {
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace korvun
