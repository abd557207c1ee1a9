// Unbuffered file access over POSIX descriptors, standing in for the runtime's
// _open/_read/_write/_lseek/_close. Every file operation of the updater goes through here,
// so that failures are reported one way and a test build can inject them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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

// Opens a file named the Windows way (".\\a\\b") or natively; -1 on failure (errno set). The
// modes that create a file refuse a symbolic link in its place (ELOOP).
int OpenFile(const std::string& name, OpenMode mode);
// The same for a name already resolved to a native path (by NativePath or a FolderIndex): it
// is opened as it is, without looking for another case of it.
int OpenNativeFile(const std::string& native, OpenMode mode);

// Closes fd when it is not -1 and sets it to -1.
void CloseFile(int& fd);

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

// A named moment of the run, for the reliability tests. Only a build configured with
// KORVUN_FAULT_INJECTION has one: it notes the point in the file-operation log and ends the
// process there with SIGKILL when KORVUN_TEST_STOP_AT names it ("NAME" or "NAME:N" for the
// Nth time). Elsewhere it compiles to nothing.
#ifdef KORVUN_FAULT_INJECTION
void TestPoint(const char* name);
#else
inline void TestPoint(const char*) {}
#endif

}  // namespace korvun
