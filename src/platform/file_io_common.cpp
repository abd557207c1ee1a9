// The parts of file_io.h that every system shares: they stand on the system's own calls.
#include <cerrno>

#include "platform/file_io.h"

namespace korvun {

bool FileHandle::Close() { return CloseFile(fd_); }

bool ReadFull(int fd, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        int64_t n = ReadSome(fd, out, size);
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        out += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace korvun
