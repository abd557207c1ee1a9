#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win_path.h"

namespace korvun {

namespace {

int OpenFlags(OpenMode mode) {
    switch (mode) {
        case OpenMode::ReadOnly:
            return O_RDONLY;
        case OpenMode::WriteCreateTruncate:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case OpenMode::ReadWrite:
            return O_RDWR;
        case OpenMode::ReadWriteAppend:
            return O_RDWR | O_APPEND | O_CREAT;
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
    int fd;
    do {
        fd = ::open(NativePath(name).c_str(), OpenFlags(mode) | O_CLOEXEC, 0644);
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

bool SyncFile(int fd) { return ::fsync(fd) == 0; }

bool SyncParentDirectory(const std::string& name) {
    int dir = ::open(ParentDirectory(NativePath(name)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    bool ok = ::fsync(dir) == 0;
    ::close(dir);
    return ok;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
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

}  // namespace korvun
