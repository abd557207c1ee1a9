// Unbuffered file access over descriptors, standing in for the runtime's
// _open/_read/_write/_lseek/_close. Every file operation of the updater goes through here and
// on to the installed file system (file_system.h), so that failures are reported one way and
// a test can put a wrapper in between that injects them.
//
// Errors in the platform layer: functions return a value that says whether they worked (false,
// -1, nullopt or a handle that is not open) and leave the reason in errno, as the system calls
// under them do; none of them throws or shows anything. Callers decide what a failure means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#ifdef _WIN32
// windows.h names its own DeleteFile and ReplaceFile as macros; in a unit that includes it
// first, ours are still meant. (One that includes it later undefines them itself.)
#undef DeleteFile
#undef ReplaceFile
#endif

namespace korvun {

enum class OpenMode {
    ReadOnly,             // _O_RDONLY
    WriteCreateTruncate,  // _O_WRONLY | _O_CREAT | _O_TRUNC
    ReadWrite,            // _O_RDWR, the file must exist
    ReadWriteAppend,      // _O_RDWR | _O_APPEND | _O_CREAT
};

// One open descriptor, closed when the handle goes away. A file that was written must be
// closed with Close(), whose result counts: a failed close after writes means that written
// data may be lost, and is a write failure. The destructor's close is for readers and for
// files already given up.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() { Reset(); }
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    // Closes now; true when nothing was open or the close worked, false with errno set.
    bool Close();
    // Closes what is open (its result ignored) and takes fd.
    void Reset(int fd = -1);
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

// Opens a file named the Windows way (".\\a\\b") or natively; a handle that is not open on
// failure (errno set). The modes that create a file refuse a symbolic link in its place (ELOOP).
FileHandle OpenFile(const std::string& name, OpenMode mode);
// The same for a name already resolved to a native path (by NativePath or a FolderIndex): it
// is opened as it is, without looking for another case of it.
FileHandle OpenNativeFile(const std::string& native, OpenMode mode);

// A regular file opened for reading as a C stream ("r"); nullptr (errno set) when it cannot be
// opened or is something else (a FIFO in its place would wait for a writer for good). Not a
// counted operation of the tests' fault wrapper, as no write depends on it.
std::FILE* OpenReadStream(const std::string& name);

// Closes fd when it is not -1 and sets it to -1; false (errno set) when the close failed.
bool CloseFile(int& fd);

// Reads up to size bytes, retrying on EINTR; returns the count, or -1 on error.
int64_t ReadSome(int fd, void* buffer, size_t size);

// Reads exactly size bytes; false on error or end of file before size bytes came.
bool ReadFull(int fd, void* buffer, size_t size);

// Writes all size bytes, looping over short writes; false on error (errno set).
bool WriteFull(int fd, const void* buffer, size_t size);

// Reads exactly size bytes at offset without moving the descriptor; false as ReadFull.
bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset);

// Writes all size bytes at offset without moving the descriptor; false on error (errno set).
bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset);

// Cuts or extends the file to length bytes.
bool TruncateFile(int fd, uint64_t length);

// 64-bit seek; returns the new position or -1.
int64_t SeekFile(int fd, int64_t offset, int whence);

// The length of the open file fd; nullopt (errno set) when it cannot be told.
std::optional<uint64_t> OpenFileLength(int fd);

// fsync of the descriptor.
bool SyncFile(int fd);

// Flushes every file and folder of the file system that holds name (syncfs): cheaper than a
// flush per file when a step has written many of them.
bool SyncFileSystem(const std::string& name);

// Asks the kernel to start writing the descriptor's dirty pages now, without waiting, so
// that a later SyncFile of a large file finds most of the work done.
void StartWriteback(int fd);

// fsync of the directory that holds name, so a rename or creation reaches the disk.
bool SyncParentDirectory(const std::string& name);

// Renames from over to (atomic on one file system) and syncs the directory.
bool ReplaceFile(const std::string& from, const std::string& to);

// Deletes a file; a missing file is no error.
bool DeleteFile(const std::string& name);

bool FileExists(const std::string& name);
std::optional<uint64_t> FileSize(const std::string& name);

// A named moment of the run ("download", "extract", "merge", ...), told to the installed file
// system (file_system.h). The native one does nothing there; the tests' fault wrapper marks
// the run's phases in its operation log and can stop or cut the power exactly there.
void TestPoint(const char* name);

}  // namespace korvun
