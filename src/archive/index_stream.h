// Byte streams for index files: little-endian, unaligned fields, read and written through a
// buffer so that an index of many thousand records costs a few system calls, not one per field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvun {

class IndexReader {
  public:
    // Reads the rest of an open file from its current position.
    explicit IndexReader(int fd);
    // Reads bytes held in memory (the caller keeps them alive).
    IndexReader(const void* data, size_t size);

    // False when fewer bytes remain than asked for (nothing is consumed then) or a read fails.
    bool Read(void* out, size_t size);
    bool ReadU32(uint32_t& value);
    bool ReadU64(uint64_t& value);

    // Bytes not read yet, as far as the file's size tells.
    uint64_t Remaining() const { return remaining_; }
    uint64_t Position() const { return position_; }

  private:
    bool Fill();

    int fd_ = -1;
    const uint8_t* memory_ = nullptr;
    std::vector<uint8_t> buffer_;
    size_t bufferPos_ = 0;
    size_t bufferLen_ = 0;
    uint64_t remaining_ = 0;
    uint64_t position_ = 0;
};

class IndexWriter {
  public:
    explicit IndexWriter(int fd);
    explicit IndexWriter(std::string& memory);

    void Write(const void* data, size_t size);
    void WriteU32(uint32_t value);
    void WriteU64(uint64_t value);
    // Writes out what is buffered; false when any write so far failed.
    bool Flush();

  private:
    int fd_ = -1;
    std::string* memory_ = nullptr;
    std::vector<uint8_t> buffer_;
    bool failed_ = false;
};

}  // namespace korvun
