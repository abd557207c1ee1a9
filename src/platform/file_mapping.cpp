#include "platform/file_mapping.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace korvun {

bool FileMapping::Map(int fd, uint64_t offset, size_t length, bool writable) {
    Unmap();
    if (length == 0) return true;
    const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    uint64_t start = offset - offset % page;
    size_t lead = static_cast<size_t>(offset - start);
    int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base =
        ::mmap(nullptr, length + lead, protection, MAP_SHARED, fd, static_cast<off_t>(start));
    if (base == MAP_FAILED) return false;
    base_ = base;
    mappedLength_ = length + lead;
    data_ = static_cast<uint8_t*>(base) + lead;
    length_ = length;
    // Both are read once from front to back.
    ::madvise(base_, mappedLength_, MADV_SEQUENTIAL);
    return true;
}

bool FileMapping::Flush() {
    return base_ == nullptr || ::msync(base_, mappedLength_, MS_SYNC) == 0;
}

void FileMapping::Unmap() {
    if (base_ != nullptr) ::munmap(base_, mappedLength_);
    base_ = nullptr;
    data_ = nullptr;
    mappedLength_ = length_ = 0;
}

bool ReserveFileLength(int fd, uint64_t length) {
    if (length == 0) return ::ftruncate(fd, 0) == 0;
    int error = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    // A file system that cannot allocate ahead still takes the length; its blocks come as
    // they are written.
    if (error == EOPNOTSUPP || error == EINVAL)
        return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
    errno = error;
    return error == 0;
}

}  // namespace korvun
