#include "zip/zip_volumes.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/file_io.h"
#include "platform/win_path.h"
#include "zip/zip_exception.h"

namespace korvun {

namespace {

std::string FullPath(const std::string& name) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(NativePath(name), error);
    return error ? NativePath(name) : absolute.lexically_normal().string();
}

FileHandle OpenVolume(const std::string& path) {
    FileHandle file = OpenFile(path, OpenMode::ReadOnly);
    if (!file.IsOpen()) throw CFileException(path, errno, "open");
    return file;
}

}  // namespace

CZipVolumes::~CZipVolumes() = default;

void CZipVolumes::Open(const std::string& path, uint32_t writeBufferSize) {
    std::string full = FullPath(path);
    // The package is only ever read, so it is opened read-only: a package on a read-only
    // medium or without write permission must still extract.
    fd_ = OpenVolume(full);
    path_ = std::move(full);
    writeBuffer_.assign(writeBufferSize, 0);
    mode_ = Mode::Automatic;
    current_ = 0;
    last_ = 0;
}

void CZipVolumes::Close() {
    fd_.Reset();
    std::vector<char>().swap(writeBuffer_);
    mode_ = Mode::None;
    current_ = -1;
    last_ = 0;
    path_.clear();
}

void CZipVolumes::SetVolumeMode(uint16_t thisDisk) {
    if (thisDisk == 0) {
        mode_ = Mode::None;
        current_ = 0;
        return;
    }
    // No drive of this system is a removable disk in the sense of one volume per disk: the
    // volumes are files side by side.
    mode_ = Mode::NumberedFiles;
    last_ = thisDisk;
    current_ = thisDisk;
}

std::string CZipVolumes::VolumeName(int k) const {
    std::filesystem::path path(path_);
    std::filesystem::path title = path.parent_path() / path.stem();
    if (k == last_) return title.string() + ".zip";
    char extension[16];
    std::snprintf(extension, sizeof extension, ".%.3d", k);
    return title.string() + extension;
}

void CZipVolumes::SwitchVolume(int k) {
    if (k == current_) return;
    if (!IsSplit() || k < 0 || k > last_) {
        // A package in one file whose records name another disk, or a volume past the last:
        // damaged, rather than a hunt for files that were never part of it.
        Raise(kZipBadPackage);
    }
    std::string name = VolumeName(k);
    fd_.Reset();
    current_ = k;
    fd_ = OpenVolume(name);
    path_ = name;
}

uint32_t CZipVolumes::ReadUpTo(char* buffer, uint32_t size) {
    uint32_t done = 0;
    while (done < size) {
        int64_t n = ReadSome(fd_.Get(), buffer + done, size - done);
        if (n < 0) throw CFileException(path_, errno, "read");
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

uint32_t CZipVolumes::ReadData(void* buffer, uint32_t size, bool whole) {
    if (size == 0) return 0;
    auto* out = static_cast<char*>(buffer);
    uint32_t done = ReadUpTo(out, size);
    while (done == 0) {
        if (!IsSplit() || current_ >= last_) Raise(kZipBadPackage);
        SwitchVolume(current_ + 1);
        done = ReadUpTo(out, size);
    }
    if (done == size) return size;
    if (!whole && IsSplit()) {
        while (done < size) {
            if (current_ >= last_) Raise(kZipBadPackage);
            SwitchVolume(current_ + 1);
            uint32_t n = ReadUpTo(out + done, size - done);
            if (n == 0) Raise(kZipBadPackage);
            done += n;
        }
        return size;
    }
    Raise(kZipBadPackage);
}

void CZipVolumes::Seek(uint64_t offset) {
    if (SeekFile(fd_.Get(), static_cast<int64_t>(offset), SEEK_SET) < 0) Raise(kZipBadPackage);
}

void CZipVolumes::SeekRelative(int64_t offset) {
    if (SeekFile(fd_.Get(), offset, SEEK_CUR) < 0) Raise(kZipBadPackage);
}

uint64_t CZipVolumes::Position() const {
    int64_t position = SeekFile(fd_.Get(), 0, SEEK_CUR);
    if (position < 0) Raise(kZipBadPackage);
    return static_cast<uint64_t>(position);
}

uint64_t CZipVolumes::Length() const {
    std::optional<uint64_t> length = OpenFileLength(fd_.Get());
    if (!length) throw CFileException(path_, errno, "examine");
    return *length;
}

void CZipVolumes::Raise(int code) const { ThrowZipError(code, path_); }

}  // namespace korvun
