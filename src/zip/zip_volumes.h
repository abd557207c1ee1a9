// The package file, or for a split package the volume file that is open now, and the read
// primitive that crosses from one volume to the next.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_io.h"

namespace korvun {

class CZipVolumes {
  public:
    enum class Mode {
        None,           // one file
        Removable,      // volumes on removable disks, one per disk
        NumberedFiles,  // title.000, title.001, ..., title.zip
        Automatic,      // decided once the end record has been read
    };

    CZipVolumes() = default;
    ~CZipVolumes();
    CZipVolumes(const CZipVolumes&) = delete;
    CZipVolumes& operator=(const CZipVolumes&) = delete;

    // Opens an existing package file; raises CFileException. The current volume becomes 0.
    void Open(const std::string& path, uint32_t writeBufferSize);
    // Closes the file and releases the write buffer; the current volume becomes -1.
    void Close();
    bool IsOpen() const { return current_ != -1; }

    // The full path of the file in use; empty while closed.
    const std::string& Path() const { return path_; }
    int Current() const { return current_; }
    Mode GetMode() const { return mode_; }
    bool IsSplit() const { return mode_ == Mode::Removable || mode_ == Mode::NumberedFiles; }
    // Decides the mode from the end record's number of this disk.
    void SetVolumeMode(uint16_t thisDisk);

    // Reads size bytes; whole == false lets a split package continue on the next volumes.
    // Any shortfall raises cause 10.
    uint32_t ReadData(void* buffer, uint32_t size, bool whole);
    // Makes volume k the open file (numbered-file volumes only).
    void SwitchVolume(int k);
    // Seeks in the current volume file; a failure raises cause 10.
    void Seek(uint64_t offset);
    void SeekRelative(int64_t offset);
    uint64_t Position() const;
    // The length of the current volume file.
    uint64_t Length() const;
    // The write buffer of the open package. The package itself is never written; the
    // extraction collects an entry's output chunks in it.
    std::vector<char>& WriteBuffer() { return writeBuffer_; }
    // Raises CZipException for an internal error code with this package's path.
    [[noreturn]] void Raise(int code) const;

  private:
    // Reads until size bytes or the end of the current file; a read error raises.
    uint32_t ReadUpTo(char* buffer, uint32_t size);
    std::string VolumeName(int k) const;

    FileHandle fd_;
    std::string path_;
    std::vector<char> writeBuffer_;
    Mode mode_ = Mode::None;
    int current_ = -1;
    int last_ = 0;
};

}  // namespace korvun
