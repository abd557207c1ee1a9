#include "zip/zip_exception.h"

#include <zlib.h>

#include <cstring>

namespace korvun {

namespace {

std::string FileErrorText(const std::string& path, int error, const std::string& action) {
    std::string text = "cannot " + action + " " + path;
    if (error != 0) text += ": " + std::string(std::strerror(error));
    return text;
}

}  // namespace

CZipException::CZipException(int cause, std::string path)
    : std::runtime_error(ZipCauseText(cause) + (path.empty() ? "" : " (" + path + ")")),
      cause_(cause),
      path_(std::move(path)) {}

int ZipCauseFromCode(int code) {
    switch (code) {
        case Z_STREAM_END:
            return kCauseStreamEnd;
        case Z_NEED_DICT:
            return kCauseNeedDict;
        case Z_ERRNO:
            return kCauseErrno;
        case Z_STREAM_ERROR:
            return kCauseStreamError;
        case Z_DATA_ERROR:
            return kCauseDataError;
        case Z_MEM_ERROR:
            return kCauseMemError;
        case Z_BUF_ERROR:
            return kCauseBufError;
        case Z_VERSION_ERROR:
            return kCauseVersionError;
        case kZipBadPackage:
            return kCauseBadPackage;
        case kZipBadCrc:
            return kCauseBadCrc;
        case kZipRemovableVolume:
            return kCauseRemovableVolume;
        case kZipVolumeRefused:
            return kCauseVolumeRefused;
        case kZipCreateVolumes:
            return kCauseCreateVolumes;
        case kZipTooManyVolumes:
            return kCauseTooManyVolumes;
        case kZipInternal:
            return kCauseInternal;
        case kZipBadPassword:
            return kCauseBadPassword;
        case kZipNoEndRecord:
            return kCauseNoEndRecord;
        default:
            return kCauseGeneric;
    }
}

void ThrowZipError(int code, const std::string& path) {
    throw CZipException(ZipCauseFromCode(code), path);
}

std::string ZipCauseText(int cause) {
    switch (cause) {
        case kCauseNone:
            return "no error";
        case kCauseStreamEnd:
            return "the compressed data ended unexpectedly";
        case kCauseNeedDict:
            return "the compressed data need a preset dictionary";
        case kCauseErrno:
            return "the decompressor hit a file error";
        case kCauseStreamError:
            return "the decompressor was used inconsistently";
        case kCauseDataError:
            return "the compressed data of an entry are invalid";
        case kCauseMemError:
            return "the decompressor ran out of memory";
        case kCauseBufError:
            return "the compressed data of an entry end before the entry is complete";
        case kCauseVersionError:
            return "the decompressor rejected its version";
        case kCauseBadPackage:
            return "the package is damaged";
        case kCauseBadCrc:
            return "the CRC-32 of an extracted entry does not match the package directory";
        case kCauseRemovableVolume:
            return "a split package on a removable drive cannot be read";
        case kCauseVolumeRefused:
            return "a volume of the split package was refused";
        case kCauseCreateVolumes:
            return "volumes cannot be created";
        case kCauseTooManyVolumes:
            return "too many volumes";
        case kCauseBadPassword:
            return "the password is wrong";
        case kCauseNoEndRecord:
            return "the file is not a ZIP package (no end of central directory record)";
        default:
            return "the package reader failed";
    }
}

CFileException::CFileException(std::string path, int error, const std::string& action)
    : std::runtime_error(FileErrorText(path, error, action)),
      path_(std::move(path)),
      error_(error) {}

}  // namespace korvun
