// Files and directories for the tests: one temporary-directory helper, one way to read a file
// whole and one to write it.
#pragma once

#include <string>

namespace korvun::test {

// Makes a fresh directory; removes it with everything in it when the object goes.
class TempDirectory {
  public:
    enum class Place {
        Temporary,  // under $TMPDIR (or /tmp)
        // /dev/shm when it is writable (an fsync costs nothing there, which matters to suites
        // that run the updater hundreds of times), else as Temporary.
        Memory,
    };
    explicit TempDirectory(const std::string& prefix = "korvun", Place place = Place::Temporary);
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The bytes of a file; empty when it cannot be read (a missing file among them).
std::string ReadFileBytes(const std::string& path);
// Writes bytes to path, making its parent directories; throws std::runtime_error on failure.
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace korvun::test
