// The functions of file_io.h, the same on every system: each resolves the name and hands the
// operation to the installed file system (file_system.h).
#include <cerrno>

#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/win_path.h"

namespace korvun {

bool FileHandle::Close() { return CloseFile(fd_); }

FileHandle OpenFile(const std::string& name, OpenMode mode) {
    return OpenNativeFile(NativePath(name), mode);
}

FileHandle OpenNativeFile(const std::string& native, OpenMode mode) {
    return CurrentFileSystem().Open(native, mode);
}

std::FILE* OpenReadStream(const std::string& name) {
    return CurrentFileSystem().OpenReadStream(NativePath(name));
}

bool CloseFile(int& fd) {
    if (fd == -1) return true;
    // The descriptor is gone whatever the close says; it must not be closed a second time.
    bool closed = CurrentFileSystem().Close(fd);
    fd = -1;
    return closed;
}

int64_t ReadSome(int fd, void* buffer, size_t size) {
    return CurrentFileSystem().ReadSome(fd, buffer, size);
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
    return CurrentFileSystem().WriteFull(fd, buffer, size);
}

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    return CurrentFileSystem().ReadAt(fd, buffer, size, offset);
}

bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    return CurrentFileSystem().WriteAt(fd, buffer, size, offset);
}

bool TruncateFile(int fd, uint64_t length) { return CurrentFileSystem().Truncate(fd, length); }

int64_t SeekFile(int fd, int64_t offset, int whence) {
    return CurrentFileSystem().Seek(fd, offset, whence);
}

std::optional<uint64_t> OpenFileLength(int fd) { return CurrentFileSystem().Length(fd); }

bool SyncFile(int fd) { return CurrentFileSystem().Sync(fd); }

bool SyncFileSystem(const std::string& name) {
    return CurrentFileSystem().SyncFileSystem(NativePath(name));
}

void StartWriteback(int fd) { CurrentFileSystem().StartWriteback(fd); }

bool SyncParentDirectory(const std::string& name) {
    return CurrentFileSystem().SyncParentDirectory(NativePath(name));
}

bool ReplaceFile(const std::string& from, const std::string& to) {
    return CurrentFileSystem().Rename(NativePath(from), NativePath(to)) && SyncParentDirectory(to);
}

bool DeleteFile(const std::string& name) { return CurrentFileSystem().Delete(NativePath(name)); }

bool FileExists(const std::string& name) { return CurrentFileSystem().Exists(NativePath(name)); }

std::optional<uint64_t> FileSize(const std::string& name) {
    return CurrentFileSystem().Size(NativePath(name));
}

void TestPoint(const char* name) { CurrentFileSystem().Reached(name); }

}  // namespace korvun
