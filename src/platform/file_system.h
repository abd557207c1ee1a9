// The file system as the engine sees it: one interface that every file operation of file_io.h
// goes through, with the system's own implementation installed unless a program installs
// another. A test installs a wrapper around the native one that fails chosen operations or
// simulates a power cut (tests/support/fault_file_system.h), so that the engine it tests is
// the very code the programs ship, not a second build of it.
//
// Errors: as file_io.h (a value that says whether it worked, the reason in errno).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/file_io.h"

namespace korvun {

// Every name given here is native (NativePath has resolved it already); every descriptor is
// one that Open returned.
class FileSystem {
  public:
    virtual ~FileSystem() = default;

    virtual FileHandle Open(const std::string& native, OpenMode mode) = 0;
    virtual std::FILE* OpenReadStream(const std::string& native) = 0;
    virtual bool Close(int fd) = 0;
    virtual int64_t ReadSome(int fd, void* buffer, size_t size) = 0;
    virtual bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) = 0;
    virtual bool WriteFull(int fd, const void* buffer, size_t size) = 0;
    virtual bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) = 0;
    virtual bool Truncate(int fd, uint64_t length) = 0;
    virtual int64_t Seek(int fd, int64_t offset, int whence) = 0;
    virtual std::optional<uint64_t> Length(int fd) = 0;
    virtual bool Sync(int fd) = 0;
    virtual bool SyncFileSystem(const std::string& native) = 0;
    virtual void StartWriteback(int fd) = 0;
    virtual bool SyncParentDirectory(const std::string& native) = 0;
    // Renames from over to; the flush of the folder is the caller's next operation.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    virtual bool Delete(const std::string& native) = 0;
    virtual bool Exists(const std::string& native) = 0;
    virtual std::optional<uint64_t> Size(const std::string& native) = 0;

    // The run has reached the named moment (TestPoint in file_io.h). The system has nothing
    // to do there; a wrapper that counts operations marks the run's phases with it.
    virtual void Reached(const char* point) { (void)point; }
};

// The system's own calls (file_io.cpp, file_io_win.cpp). A test may derive from it to change
// one operation.
class NativeFileSystem : public FileSystem {
  public:
    FileHandle Open(const std::string& native, OpenMode mode) override;
    std::FILE* OpenReadStream(const std::string& native) override;
    bool Close(int fd) override;
    int64_t ReadSome(int fd, void* buffer, size_t size) override;
    bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) override;
    bool WriteFull(int fd, const void* buffer, size_t size) override;
    bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset) override;
    bool Truncate(int fd, uint64_t length) override;
    int64_t Seek(int fd, int64_t offset, int whence) override;
    std::optional<uint64_t> Length(int fd) override;
    bool Sync(int fd) override;
    bool SyncFileSystem(const std::string& native) override;
    void StartWriteback(int fd) override;
    bool SyncParentDirectory(const std::string& native) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool Delete(const std::string& native) override;
    bool Exists(const std::string& native) override;
    std::optional<uint64_t> Size(const std::string& native) override;
};

// The one native file system of the process.
FileSystem& SystemFileSystem();

// The file system the process's file operations go to: the native one until another is
// installed. Installing is for the start of a program or a test, before any thread works on
// files; the one installed must outlive its use. nullptr puts the native one back. Returns the
// one installed before.
FileSystem& CurrentFileSystem();
FileSystem& InstallFileSystem(FileSystem* fileSystem);

}  // namespace korvun
