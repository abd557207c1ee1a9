// Failures of the package reader. A damaged package raises CZipException with a cause number;
// a file that cannot be opened, created or written raises CFileException.
#pragma once

#include <stdexcept>
#include <string>

namespace korvun {

// Internal error codes: zlib's return values, and the reader's own below -100.
enum ZipErrorCode {
    kZipBadPackage = -101,  // short read, wrong signature, inconsistent record
    kZipBadCrc = -102,      // CRC-32 of the extracted data differs from the directory
    kZipRemovableVolume = -103,
    kZipVolumeRefused = -104,
    kZipCreateVolumes = -105,
    kZipTooManyVolumes = -106,
    kZipInternal = -107,
    kZipBadPassword = -108,
    kZipNoEndRecord = -109,
};

// Causes as callers see them.
enum ZipCause {
    kCauseNone = 0,
    kCauseGeneric = 1,
    kCauseStreamEnd = 2,
    kCauseNeedDict = 3,
    kCauseErrno = 4,
    kCauseStreamError = 5,
    kCauseDataError = 6,
    kCauseMemError = 7,
    kCauseBufError = 8,
    kCauseVersionError = 9,
    kCauseBadPackage = 10,
    kCauseBadCrc = 11,
    kCauseRemovableVolume = 12,
    kCauseVolumeRefused = 13,
    kCauseCreateVolumes = 14,
    kCauseTooManyVolumes = 15,
    kCauseInternal = 16,
    kCauseBadPassword = 17,
    kCauseNoEndRecord = 18,
};

class CZipException : public std::runtime_error {
  public:
    CZipException(int cause, std::string path);

    int Cause() const { return cause_; }
    // The package file in use; empty when the reader was closed.
    const std::string& Path() const { return path_; }

  private:
    int cause_;
    std::string path_;
};

// Maps an internal error code (a zlib result or a ZipErrorCode) to the cause.
int ZipCauseFromCode(int code);

// Raises CZipException for an internal error code.
[[noreturn]] void ThrowZipError(int code, const std::string& path);

// A sentence describing a cause, for operators and logs.
std::string ZipCauseText(int cause);

class CFileException : public std::runtime_error {
  public:
    // error is the errno of the failed call (0 when a read came up short).
    CFileException(std::string path, int error, const std::string& action);

    const std::string& Path() const { return path_; }
    int Error() const { return error_; }

  private:
    std::string path_;
    int error_;
};

}  // namespace korvun
