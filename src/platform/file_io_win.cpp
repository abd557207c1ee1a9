// The runtime's unbuffered file calls that the updater was designed around (_wopen, _read,
// _write, _lseeki64, _commit), always binary, with UTF-8 names widened at the edge.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/file_system.h"
#include "platform/wide.h"

// windows.h names its own DeleteFile and ReplaceFile as macros; ours are meant here.
#undef DeleteFile
#undef ReplaceFile

namespace korvun {

namespace {

int OpenFlags(OpenMode mode) {
    // Never inherited by the programs the updater starts, never translated as text.
    const int common = _O_BINARY | _O_NOINHERIT;
    switch (mode) {
        case OpenMode::ReadOnly:
            return common | _O_RDONLY;
        case OpenMode::WriteCreateTruncate:
            return common | _O_WRONLY | _O_CREAT | _O_TRUNC;
        case OpenMode::ReadWrite:
            return common | _O_RDWR;
        case OpenMode::ReadWriteAppend:
            return common | _O_RDWR | _O_APPEND | _O_CREAT;
    }
    return common | _O_RDONLY;
}

// Win32 errors of a failed rename in the errno terms the callers report.
int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        default:
            return EIO;
    }
}

}  // namespace

void FileHandle::Reset(int fd) {
    if (fd_ != -1) {
        int saved = errno;
        ::_close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

FileHandle NativeFileSystem::Open(const std::string& native, OpenMode mode) {
    return FileHandle(::_wopen(Widen(native).c_str(), OpenFlags(mode), _S_IREAD | _S_IWRITE));
}

std::FILE* NativeFileSystem::OpenReadStream(const std::string& native) {
    return ::_wfopen(Widen(native).c_str(), L"r");
}

bool NativeFileSystem::Close(int fd) { return ::_close(fd) == 0; }

int64_t NativeFileSystem::ReadSome(int fd, void* buffer, size_t size) {
    // _read takes an unsigned int count; larger requests are served in parts by the callers'
    // loops.
    unsigned count = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return ::_read(fd, buffer, count);
}

bool NativeFileSystem::WriteFull(int fd, const void* buffer, size_t size) {
    const auto* in = static_cast<const char*>(buffer);
    while (size > 0) {
        unsigned count = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
        int n = ::_write(fd, in, count);
        if (n < 0) return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        in += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int64_t NativeFileSystem::Seek(int fd, int64_t offset, int whence) {
    return ::_lseeki64(fd, offset, whence);
}

std::optional<uint64_t> NativeFileSystem::Length(int fd) {
    int64_t length = ::_filelengthi64(fd);
    if (length < 0) return std::nullopt;
    return static_cast<uint64_t>(length);
}

// The runtime has no positioned calls; the position is put back afterwards, as the callers
// expect of a read or write at an offset.
bool NativeFileSystem::ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    int64_t position = ::_lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || ::_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
    bool ok = korvun::ReadFull(fd, buffer, size);
    int saved = errno;
    ::_lseeki64(fd, position, SEEK_SET);
    errno = saved;
    return ok;
}

bool NativeFileSystem::WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    int64_t position = ::_lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || ::_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
    bool ok = WriteFull(fd, buffer, size);
    int saved = errno;
    ::_lseeki64(fd, position, SEEK_SET);
    errno = saved;
    return ok;
}

bool NativeFileSystem::Truncate(int fd, uint64_t length) {
    errno_t error = ::_chsize_s(fd, static_cast<int64_t>(length));
    if (error != 0) errno = error;
    return error == 0;
}

// Flushing a whole volume needs administrator rights on Windows. Where the volume cannot be
// opened for it, nothing is flushed here and the system's lazy writer decides: the files
// written before are not known to be on the disk yet.
bool NativeFileSystem::SyncFileSystem(const std::string& native) {
    wchar_t path[MAX_PATH];
    wchar_t volume[MAX_PATH];
    if (!GetFullPathNameW(Widen(native).c_str(), MAX_PATH, path, nullptr) ||
        !GetVolumePathNameW(path, volume, MAX_PATH)) {
        return true;
    }
    std::wstring device = L"\\\\.\\" + std::wstring(volume);
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    HANDLE handle = CreateFileW(device.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return true;
    bool ok = FlushFileBuffers(handle) != 0;
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    if (ok) return true;
    // A volume that opens but refuses the flush itself (Wine's volume devices, file systems
    // without the request) is one that cannot be flushed this way, as above; only a failed
    // write-back is a failure.
    if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
        error == ERROR_INVALID_PARAMETER) {
        return true;
    }
    errno = EIO;
    return false;
}

bool NativeFileSystem::Sync(int fd) { return ::_commit(fd) == 0; }

// Windows writes back dirty pages on its own schedule; the later _commit waits for the rest.
void NativeFileSystem::StartWriteback(int) {}

// NTFS journals its directory changes, and a directory cannot be flushed like a file.
bool NativeFileSystem::SyncParentDirectory(const std::string&) { return true; }

bool NativeFileSystem::Rename(const std::string& from, const std::string& to) {
    // Write-through: the call returns once the rename is on the disk.
    if (MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errno = ErrnoOf(GetLastError());
    return false;
}

bool NativeFileSystem::Delete(const std::string& native) {
    return ::_wunlink(Widen(native).c_str()) == 0 || errno == ENOENT;
}

bool NativeFileSystem::Exists(const std::string& native) {
    return GetFileAttributesW(Widen(native).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<uint64_t> NativeFileSystem::Size(const std::string& native) {
    struct _stat64 st;
    if (::_wstat64(Widen(native).c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace korvun
