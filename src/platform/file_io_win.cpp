// The runtime's unbuffered file calls that the updater was designed around (_wopen, _read,
// _write, _lseeki64, _commit), always binary, with UTF-8 names widened at the edge.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "platform/file_io.h"
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

FileHandle OpenFile(const std::string& name, OpenMode mode) { return OpenNativeFile(name, mode); }

FileHandle OpenNativeFile(const std::string& native, OpenMode mode) {
    return FileHandle(::_wopen(Widen(native).c_str(), OpenFlags(mode), _S_IREAD | _S_IWRITE));
}

std::FILE* OpenReadStream(const std::string& name) { return ::_wfopen(Widen(name).c_str(), L"r"); }

bool CloseFile(int& fd) {
    if (fd == -1) return true;
    bool closed = ::_close(fd) == 0;
    fd = -1;
    return closed;
}

int64_t ReadSome(int fd, void* buffer, size_t size) {
    // _read takes an unsigned int count; larger requests are served in parts by the callers'
    // loops.
    unsigned count = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    return ::_read(fd, buffer, count);
}

bool WriteFull(int fd, const void* buffer, size_t size) {
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

int64_t SeekFile(int fd, int64_t offset, int whence) { return ::_lseeki64(fd, offset, whence); }

std::optional<uint64_t> OpenFileLength(int fd) {
    int64_t length = ::_filelengthi64(fd);
    if (length < 0) return std::nullopt;
    return static_cast<uint64_t>(length);
}

// The runtime has no positioned calls; the position is put back afterwards, as the callers
// expect of a read or write at an offset.
bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    int64_t position = ::_lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || ::_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
    bool ok = ReadFull(fd, buffer, size);
    int saved = errno;
    ::_lseeki64(fd, position, SEEK_SET);
    errno = saved;
    return ok;
}

bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) {
    int64_t position = ::_lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || ::_lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) < 0) return false;
    bool ok = WriteFull(fd, buffer, size);
    int saved = errno;
    ::_lseeki64(fd, position, SEEK_SET);
    errno = saved;
    return ok;
}

bool TruncateFile(int fd, uint64_t length) {
    errno_t error = ::_chsize_s(fd, static_cast<int64_t>(length));
    if (error != 0) errno = error;
    return error == 0;
}

// Flushing a whole volume needs administrator rights on Windows. Where the volume cannot be
// opened for it, nothing is flushed here and the system's lazy writer decides: the files
// written before are not known to be on the disk yet.
bool SyncFileSystem(const std::string& name) {
    wchar_t path[MAX_PATH];
    wchar_t volume[MAX_PATH];
    if (!GetFullPathNameW(Widen(name).c_str(), MAX_PATH, path, nullptr) ||
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

bool SyncFile(int fd) { return ::_commit(fd) == 0; }

// Windows writes back dirty pages on its own schedule; the later _commit waits for the rest.
void StartWriteback(int) {}

// NTFS journals its directory changes, and a directory cannot be flushed like a file.
bool SyncParentDirectory(const std::string&) { return true; }

bool ReplaceFile(const std::string& from, const std::string& to) {
    // Write-through: the call returns once the rename is on the disk.
    if (MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errno = ErrnoOf(GetLastError());
    return false;
}

bool DeleteFile(const std::string& name) {
    return ::_wunlink(Widen(name).c_str()) == 0 || errno == ENOENT;
}

bool FileExists(const std::string& name) {
    return GetFileAttributesW(Widen(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<uint64_t> FileSize(const std::string& name) {
    struct _stat64 st;
    if (::_wstat64(Widen(name).c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

}  // namespace korvun
