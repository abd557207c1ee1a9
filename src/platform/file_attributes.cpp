#include "platform/file_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/win_path.h"

namespace korvun {

namespace {

constexpr uint8_t kHostUnix = 3;
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

}  // namespace

bool ApplyFileAttributes(const std::string& name, uint32_t externalAttributes,
                         uint16_t versionMadeBy) {
    const std::string native = NativePath(name);
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) return false;
    mode_t mode;
    if (S_ISDIR(st.st_mode)) {
        // The updater must always be able to extract into its directories, whatever mode the
        // package recorded for them.
        mode = kDirectoryMode;
    } else if ((versionMadeBy >> 8) == kHostUnix && (externalAttributes >> 16) != 0) {
        // Only the permission bits: a package must never be able to hand out set-uid or
        // set-gid programs.
        mode = static_cast<mode_t>(externalAttributes >> 16) & 0777;
    } else if (externalAttributes & kAttributeReadOnly) {
        mode = (st.st_mode & 0777) & ~kWriteBits;
    } else {
        // Not read-only: the owner may write, as after clearing the DOS read-only bit.
        mode = (st.st_mode & 0777) | S_IWUSR;
    }
    return ::chmod(native.c_str(), mode) == 0;
}

bool SetLastWriteTime(const std::string& name, std::time_t lastWrite) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = lastWrite;
    times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, NativePath(name).c_str(), times, 0) == 0;
}

}  // namespace korvun
