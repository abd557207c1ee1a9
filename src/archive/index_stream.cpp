#include "archive/index_stream.h"


#include <algorithm>
#include <cstring>

#include "archive/file_identity.h"
#include "platform/file_io.h"

namespace korvun {

namespace {

constexpr size_t kBufferSize = 1 << 16;
constexpr size_t kWritebackStep = 1 << 20;

}  // namespace

IndexReader::IndexReader(int fd) : fd_(fd), buffer_(kBufferSize), data_(buffer_.data()) {
    int64_t here = SeekFile(fd, 0, SEEK_CUR);
    int64_t end = SeekFile(fd, 0, SEEK_END);
    if (here < 0 || end < here || SeekFile(fd, here, SEEK_SET) != here) {
        remaining_ = 0;  // an unseekable or failing descriptor reads as empty
        return;
    }
    remaining_ = static_cast<uint64_t>(end - here);
}

IndexReader::IndexReader(const void* data, size_t size)
    : data_(static_cast<const uint8_t*>(data)), bufferLen_(size), remaining_(size) {}

bool IndexReader::Fill() {
    if (fd_ < 0) return false;  // bytes in memory are all in view already
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

bool IndexReader::ReadAcrossFill(void* out, size_t size) {
    if (size > remaining_) return false;
    auto* dest = static_cast<uint8_t*>(out);
    size_t done = 0;
    while (done < size) {
        if (bufferPos_ == bufferLen_ && !Fill()) return false;
        size_t take = std::min(size - done, bufferLen_ - bufferPos_);
        std::memcpy(dest + done, data_ + bufferPos_, take);
        bufferPos_ += take;
        done += take;
    }
    remaining_ -= size;
    position_ += size;
    return true;
}

const uint8_t* IndexReader::PeekAcrossFill(size_t size) {
    if (size > remaining_ || size > kMaxPeek) return nullptr;
    while (bufferLen_ - bufferPos_ < size) {
        if (!Fill()) return nullptr;
    }
    return data_ + bufferPos_;
}

IndexWriter::IndexWriter(int fd, WritebackThread* writeback)
    : fd_(fd), writeback_(writeback), buffer_(kBufferSize) {}

// Without a buffer every write goes straight to memory, so the bytes are there without a Flush.
IndexWriter::IndexWriter(std::string& memory) : memory_(&memory) {}

void IndexWriter::WriteAfterFlush(const void* data, size_t size) {
    Flush();
    if (size > 0 && size <= buffer_.size()) {
        std::memcpy(buffer_.data(), data, size);
        used_ = size;
    } else if (memory_) {
        memory_->append(static_cast<const char*>(data), size);
    } else if (!failed_ && !WriteFull(fd_, data, size)) {
        failed_ = true;
    } else if (hash_) {
        hash_->Add(data, size);
    }
}

uint8_t* IndexWriter::ReserveAfterFlush(size_t size) {
    if (memory_) {
        size_t before = memory_->size();
        memory_->resize(before + size);
        return reinterpret_cast<uint8_t*>(memory_->data() + before);
    }
    Flush();
    if (size > buffer_.size()) buffer_.resize(size);
    used_ = size;
    return buffer_.data();
}

bool IndexWriter::Flush() {
    if (used_ > 0) {
        if (memory_) {
            memory_->append(reinterpret_cast<const char*>(buffer_.data()), used_);
        } else if (!failed_ && !WriteFull(fd_, buffer_.data(), used_)) {
            failed_ = true;
        } else {
            if (hash_) hash_->Add(buffer_.data(), used_);
            if (writeback_ && (unstartedBytes_ += used_) >= kWritebackStep) {
                writeback_->Request(fd_);
                unstartedBytes_ = 0;
            }
        }
        used_ = 0;
    }
    return !failed_;
}

}  // namespace korvun
