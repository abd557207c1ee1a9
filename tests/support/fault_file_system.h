// A wrapper around a file system (src/platform/file_system.h) that makes the engine's file
// operations fail where a test says, in the manner of a database's test-only crash file: it
// counts the operations that change something (open, write, truncate, fsync, syncfs, rename;
// numbered from 1 in the order the process makes them), fails one of them or every one from
// there on, kills the process just before one, or cuts the power there: every write not yet
// made durable is thrown away before the process dies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace korvun::test {

struct FaultPlan {
    enum class Mode {
        Once,       // only operation `at` fails
        From,       // `at` and every later operation fail, as on a full disk
        Kill,       // the process kills itself with SIGKILL just before `at`
        PowerLoss,  // just before `at` the power is cut (below), then the process is killed
    };
    uint64_t at = 0;  // 0: no operation
    Mode mode = Mode::Once;
    int error = 0;        // errno of a failed operation; 0 means EIO
    std::string logFile;  // appends "N OPERATION PATH" per operation and "point NAME" per point
    std::string stopAt;   // SIGKILL (a power cut in PowerLoss mode) at this point ...
    uint64_t stopOccurrence = 1;  // ... the Nth time the run reaches it
    std::string pauseAt;          // SIGSTOP at this point, until a SIGCONT
    // At this point (after a pause there) the process sends itself SIGTERM, as a player's
    // Ctrl+C, and goes on only once a stop event has been set: the stop lands exactly there.
    std::string stopRequestAt;
};

class PowerLossRecord;

class FaultFileSystem final : public FileSystem {
  public:
    FaultFileSystem(FileSystem& inner, FaultPlan plan);
    ~FaultFileSystem() override;

    // The names a power cut would have brought back are kept under hidden links until their
    // folder is flushed; a run that ends on its own was never cut, and they go.
    void ForgetKeptNames();
    uint64_t OperationsSoFar() const { return operations_.load(); }

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
    void Reached(const char* point) override;

  private:
    // Counts one operation; true (errno set) when it must fail.
    bool InjectFault(const char* operation, const std::string& path);
    std::string DescriptorPath(int fd) const;
    void Log(const std::string& line);
    bool PowerLossMode() const { return plan_.mode == FaultPlan::Mode::PowerLoss; }

    FileSystem& inner_;
    FaultPlan plan_;
    int logFd_ = -1;
    std::atomic<uint64_t> operations_{0};
    std::atomic<uint64_t> stopsReached_{0};
    std::unique_ptr<PowerLossRecord> powerLoss_;
};

}  // namespace korvun::test
