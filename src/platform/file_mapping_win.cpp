#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/file_mapping.h"

namespace korvun {

bool FileMapping::Map(int fd, uint64_t offset, size_t length, bool writable) {
    Unmap();
    if (length == 0) return true;
    auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    uint64_t granularity = system.dwAllocationGranularity;
    uint64_t start = offset - offset % granularity;
    size_t lead = static_cast<size_t>(offset - start);
    uint64_t end = offset + length;
    HANDLE section =
        ::CreateFileMappingW(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                             static_cast<DWORD>(end >> 32), static_cast<DWORD>(end), nullptr);
    if (section == nullptr) {
        errno = EIO;
        return false;
    }
    void* base =
        ::MapViewOfFile(section, writable ? FILE_MAP_WRITE : FILE_MAP_READ,
                        static_cast<DWORD>(start >> 32), static_cast<DWORD>(start), length + lead);
    if (base == nullptr) {
        ::CloseHandle(section);
        errno = EIO;
        return false;
    }
    section_ = section;
    base_ = base;
    mappedLength_ = length + lead;
    data_ = static_cast<uint8_t*>(base) + lead;
    length_ = length;
    return true;
}

bool FileMapping::Flush() {
    if (base_ == nullptr) return true;
    if (::FlushViewOfFile(base_, mappedLength_)) return true;
    errno = EIO;
    return false;
}

void FileMapping::Unmap() {
    if (base_ != nullptr) ::UnmapViewOfFile(base_);
    if (section_ != nullptr) ::CloseHandle(static_cast<HANDLE>(section_));
    base_ = section_ = nullptr;
    data_ = nullptr;
    mappedLength_ = length_ = 0;
}

bool ReserveFileLength(int fd, uint64_t length) {
    // Setting the end of a file allocates its blocks on NTFS.
    if (::_chsize_s(fd, static_cast<__int64>(length)) == 0) return true;
    return false;
}

}  // namespace korvun
