#include "archive/index_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr size_t kBufferSize = 1 << 16;

}  // namespace

IndexReader::IndexReader(int fd) : fd_(fd), buffer_(kBufferSize) {
    int64_t here = SeekFile(fd, 0, SEEK_CUR);
    int64_t end = SeekFile(fd, 0, SEEK_END);
    if (here < 0 || end < here || SeekFile(fd, here, SEEK_SET) != here) {
        remaining_ = 0;  // an unseekable or failing descriptor reads as empty
        return;
    }
    remaining_ = static_cast<uint64_t>(end - here);
}

IndexReader::IndexReader(const void* data, size_t size)
    : memory_(static_cast<const uint8_t*>(data)), remaining_(size) {}

bool IndexReader::Fill() {
    if (bufferPos_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + bufferPos_, bufferLen_ - bufferPos_);
        bufferLen_ -= bufferPos_;
        bufferPos_ = 0;
    }
    int64_t got = ReadSome(fd_, buffer_.data() + bufferLen_, buffer_.size() - bufferLen_);
    if (got <= 0) return false;
    bufferLen_ += static_cast<size_t>(got);
    return true;
}

bool IndexReader::Read(void* out, size_t size) {
    if (size > remaining_) return false;
    if (memory_) {
        std::memcpy(out, memory_ + position_, size);
    } else {
        auto* dest = static_cast<uint8_t*>(out);
        size_t done = 0;
        while (done < size) {
            if (bufferPos_ == bufferLen_ && !Fill()) return false;
            size_t take = std::min(size - done, bufferLen_ - bufferPos_);
            std::memcpy(dest + done, buffer_.data() + bufferPos_, take);
            bufferPos_ += take;
            done += take;
        }
    }
    remaining_ -= size;
    position_ += size;
    return true;
}

bool IndexReader::ReadU32(uint32_t& value) {
    uint8_t bytes[4];
    if (!Read(bytes, sizeof bytes)) return false;
    value = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
            uint32_t{bytes[3]} << 24;
    return true;
}

bool IndexReader::ReadU64(uint64_t& value) {
    uint32_t low, high;
    if (!ReadU32(low) || !ReadU32(high)) return false;
    value = uint64_t{high} << 32 | low;
    return true;
}

IndexWriter::IndexWriter(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }

IndexWriter::IndexWriter(std::string& memory) : memory_(&memory) {}

void IndexWriter::Write(const void* data, size_t size) {
    if (memory_) {
        memory_->append(static_cast<const char*>(data), size);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    if (buffer_.size() >= kBufferSize) Flush();
}

void IndexWriter::WriteU32(uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    Write(bytes, sizeof bytes);
}

void IndexWriter::WriteU64(uint64_t value) {
    WriteU32(static_cast<uint32_t>(value));
    WriteU32(static_cast<uint32_t>(value >> 32));
}

bool IndexWriter::Flush() {
    if (!memory_ && !buffer_.empty()) {
        if (!failed_ && !WriteFull(fd_, buffer_.data(), buffer_.size())) failed_ = true;
        buffer_.clear();
    }
    return !failed_;
}

}  // namespace korvun
