// A region of an open file mapped into memory. Rebuilding a package from a delta reads its
// base and writes its output through mappings: the pages belong to the files, not to the
// process, so an entry of any size costs no private memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvun {

class FileMapping {
  public:
    FileMapping() = default;
    ~FileMapping() { Unmap(); }
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Maps length bytes of fd from offset (any offset; the mapping starts at the page below
    // it). length 0 maps nothing and succeeds. False with errno set.
    bool Map(int fd, uint64_t offset, size_t length, bool writable);
    // Writes the mapped pages of a writable mapping to the file; false with errno set.
    bool Flush();
    void Unmap();

    const uint8_t* Data() const { return data_; }
    uint8_t* MutableData() { return data_; }
    size_t Size() const { return length_; }

  private:
    void* base_ = nullptr;
    size_t mappedLength_ = 0;
    uint8_t* data_ = nullptr;
    size_t length_ = 0;
    [[maybe_unused]] void* section_ = nullptr;  // the system's mapping object, where it has one
};

// Gives fd a length of length bytes whose blocks are allocated, so that writing them through
// a mapping cannot fail for want of space (a failure there would end the process). False with
// errno set.
bool ReserveFileLength(int fd, uint64_t length);

}  // namespace korvun
