// A patch package opened for reading: its directory, and the decompression of one entry at a
// time into memory or into a file below a destination directory.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/win_path.h"
#include "zip/zip_directory.h"
#include "zip/zip_entry.h"
#include "zip/zip_volumes.h"

namespace korvun {

class ProgressSink;

// The result of closing an entry that was read.
enum class EntryCloseResult {
    Complete,    // all data produced and CRC-32 correct (with a path: times and attributes set)
    Incomplete,  // closed before all data were produced
    AttributesNotSet,  // complete, but the file's attributes could not be set
    TimesNotSet,       // complete, but the file's times could not be set; the entry stays open
    NotOpen,           // no entry was open
};

// An output file of an entry being extracted.
struct ZipOutputFile {
    FileHandle file;
    std::string path;  // native
};

class CZipReader {
  public:
    CZipReader();
    ~CZipReader();
    CZipReader(const CZipReader&) = delete;
    CZipReader& operator=(const CZipReader&) = delete;

    // Each size below 1,024 becomes 1,024; ignored while a package is open.
    void SetBufferSizes(uint32_t writeBuffer, uint32_t readBuffer, uint32_t searchBuffer);
    // Opens an existing package and reads its directory; raises on failure. Does nothing
    // while a package is open.
    void OpenPackage(const std::string& path);
    void ClosePackage();
    bool IsOpen() const { return volumes_.IsOpen(); }

    int GetEntryCount() const;
    bool IsDirectoryEntry(uint16_t index) const;
    bool GetEntryInfo(CZipEntry& entry, uint16_t index) const;
    const std::string& PackagePath() const { return volumes_.Path(); }

    // Where ExtractEntry reports its chunks and asks whether to go on; may be null.
    void SetProgress(ProgressSink* progress) { progress_ = progress; }

    // Extracts one entry below destRoot (a file, or a directory entry). False when the entry
    // cannot be extracted without a raise: encrypted, short, refused name, attributes or
    // times not set. Damaged data raise CZipException, file failures CFileException.
    bool ExtractEntry(uint16_t index, const std::string& destRoot, bool keepPath,
                      const char* newName, uint32_t bufferSize);

    // Prepares reading an entry's data; false when closed, the index is invalid, an entry is
    // already open, or the entry is encrypted.
    bool OpenEntry(uint16_t index);
    // Up to size decompressed bytes, never past the entry's uncompressed size; fewer only at
    // the entry's end.
    uint32_t ReadEntry(void* buffer, uint32_t size);
    // A CRC-32 mismatch raises CZipException.
    EntryCloseResult CloseEntry(const std::string* path, bool afterError);
    // Closes the output file, then CloseEntry with its path. A failed close of the written
    // file raises CFileException, as a failed write does.
    EntryCloseResult CloseEntryFile(ZipOutputFile& file);

  private:
    enum class OpenState { None, Reading };

    // The decompressor's memory, recorded so that a stream an error interrupted loses nothing.
    struct AllocationList {
        struct alignas(std::max_align_t) Block {
            Block* previous;
            Block* next;
        };
        Block head{&head, &head};
        static void* Allocate(void* opaque, uInt items, uInt size);
        static void Free(void* opaque, void* address);
        void FreeAll();
    };

    void ReleaseEntryState();
    // Writes the buffered output of an entry; raises CFileException on failure.
    static void FlushOutput(ZipOutputFile& file, const char* data, size_t& size);

    CZipVolumes volumes_;
    CZipDirectory directory_;
    uint32_t writeBufferSize_ = 65535;
    uint32_t readBufferSize_ = 16384;
    uint32_t searchBufferSize_ = 32768;

    OpenState openState_ = OpenState::None;
    const CZipEntry* entry_ = nullptr;  // the entry open for reading
    z_stream stream_{};
    std::vector<unsigned char> readBuffer_;
    uint32_t uncompressedLeft_ = 0;
    uint32_t compressedLeft_ = 0;
    uint32_t crc_ = 0;
    AllocationList allocations_;

    ProgressSink* progress_ = nullptr;
    // The destination's folders as this package's extraction has seen and changed them, so
    // that a package of many files finds each name without scanning its folder again.
    FolderIndex folderIndex_;
};

}  // namespace korvun
