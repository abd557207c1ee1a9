// Byte streams for index files: little-endian, unaligned fields, read and written through a
// buffer so that an index of many thousand records costs a few system calls, not one per field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/writeback_thread.h"

namespace korvun {

class ContentHash;

inline uint32_t LoadLittle32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

inline uint64_t LoadLittle64(const uint8_t* bytes) {
    return uint64_t{LoadLittle32(bytes + 4)} << 32 | LoadLittle32(bytes);
}

inline void StoreLittle32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void StoreLittle64(uint8_t* bytes, uint64_t value) {
    StoreLittle32(bytes, static_cast<uint32_t>(value));
    StoreLittle32(bytes + 4, static_cast<uint32_t>(value >> 32));
}

class IndexReader {
  public:
    // Reads the rest of an open file from its current position.
    explicit IndexReader(int fd);
    // Reads bytes held in memory (the caller keeps them alive).
    IndexReader(const void* data, size_t size);
    IndexReader(const IndexReader&) = delete;
    IndexReader& operator=(const IndexReader&) = delete;

    // False when fewer bytes remain than asked for (nothing is consumed then) or a read fails.
    bool Read(void* out, size_t size) {
        if (size > bufferLen_ - bufferPos_ || size > remaining_) return ReadAcrossFill(out, size);
        std::memcpy(out, data_ + bufferPos_, size);
        Advance(size);
        return true;
    }
    bool ReadU32(uint32_t& value) {
        const uint8_t* bytes = Peek(4);
        if (!bytes) return false;
        value = LoadLittle32(bytes);
        Advance(4);
        return true;
    }
    bool ReadU64(uint64_t& value) {
        const uint8_t* bytes = Peek(8);
        if (!bytes) return false;
        value = LoadLittle64(bytes);
        Advance(8);
        return true;
    }
    // The next size bytes (at most kMaxPeek) without consuming them, or null when fewer
    // remain. They stay valid until the next call of any reading function.
    const uint8_t* Peek(size_t size) {
        if (size <= bufferLen_ - bufferPos_ && size <= remaining_) return data_ + bufferPos_;
        return PeekAcrossFill(size);
    }
    // Consumes bytes that a Peek has shown.
    void Skip(size_t size) { Advance(size); }

    static constexpr size_t kMaxPeek = 4096;

    // Bytes not read yet, as far as the file's size tells.
    uint64_t Remaining() const { return remaining_; }
    uint64_t Position() const { return position_; }

  private:
    void Advance(size_t size) {
        bufferPos_ += size;
        remaining_ -= size;
        position_ += size;
    }
    bool ReadAcrossFill(void* out, size_t size);
    const uint8_t* PeekAcrossFill(size_t size);
    bool Fill();

    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    const uint8_t* data_ = nullptr;  // the buffer, or the caller's bytes
    size_t bufferPos_ = 0;
    size_t bufferLen_ = 0;
    uint64_t remaining_ = 0;
    uint64_t position_ = 0;
};

class IndexWriter {
  public:
    // When writeback is given, the disk writes of what has been written start on its
    // thread as the file grows; the caller finishes it before the descriptor is closed.
    explicit IndexWriter(int fd, WritebackThread* writeback = nullptr);
    // Appends to memory.
    explicit IndexWriter(std::string& memory);

    void Write(const void* data, size_t size) {
        if (size > buffer_.size() - used_) {
            WriteAfterFlush(data, size);
            return;
        }
        std::memcpy(buffer_.data() + used_, data, size);
        used_ += size;
    }
    void WriteU32(uint32_t value) {
        uint8_t bytes[4];
        StoreLittle32(bytes, value);
        Write(bytes, sizeof bytes);
    }
    void WriteU64(uint64_t value) {
        uint8_t bytes[8];
        StoreLittle64(bytes, value);
        Write(bytes, sizeof bytes);
    }
    // Room for the next size bytes, to be filled before any other call.
    uint8_t* Reserve(size_t size) {
        if (memory_ || size > buffer_.size() - used_) return ReserveAfterFlush(size);
        uint8_t* room = buffer_.data() + used_;
        used_ += size;
        return room;
    }
    // Writes out what is buffered; false when any write so far failed.
    bool Flush();
    // Every byte that goes to the file from now on is also added to hash.
    void Observe(ContentHash* hash) { hash_ = hash; }

  private:
    uint8_t* ReserveAfterFlush(size_t size);
    void WriteAfterFlush(const void* data, size_t size);

    int fd_ = -1;
    WritebackThread* writeback_ = nullptr;
    ContentHash* hash_ = nullptr;
    std::string* memory_ = nullptr;
    std::vector<uint8_t> buffer_;
    size_t used_ = 0;
    size_t unstartedBytes_ = 0;  // written but not yet sent on to the disk
    bool failed_ = false;
};

}  // namespace korvun
