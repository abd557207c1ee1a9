#include "tool_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_io.h"

namespace korvun::tool {

namespace {

constexpr std::array<std::string_view, 6> kBookkeepingFiles = {
    "version.ini",
    "config.ini",
    "updaterurl.txt",
    "updateversion.ini",
    "updateversion-tov-.ini",
    "new_updater.exe",
};

std::string TemporaryNameFor(const std::string& path) {
    return path + ".tmp-" + std::to_string(::getpid());
}

}  // namespace

std::string FoldCase(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

bool IsBookkeepingFile(std::string_view relativePath) {
    std::string folded = FoldCase(relativePath);
    for (std::string_view name : kBookkeepingFiles) {
        if (folded == name) return true;
    }
    return false;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, std::string& error) {
    std::string temp = TemporaryNameFor(path);
    FileHandle file = OpenNativeFile(temp, OpenMode::WriteCreateTruncate);
    if (!file.IsOpen()) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool written = WriteFull(file.Get(), content.data(), content.size()) && SyncFile(file.Get()) &&
                   file.Close();
    int savedErrno = errno;
    if (!written || !ReplaceFile(temp, path)) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : savedErrno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string CopyToTemporary(const std::string& from, const std::string& to, std::string& error,
                            const std::function<void(uint64_t)>& onCopied) {
    FileHandle in = OpenNativeFile(from, OpenMode::ReadOnly);
    if (!in.IsOpen()) {
        error = "cannot open " + from + ": " + std::strerror(errno);
        return {};
    }
    std::string temp = TemporaryNameFor(to);
    FileHandle out = OpenNativeFile(temp, OpenMode::WriteCreateTruncate);
    if (!out.IsOpen()) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return {};
    }
    std::vector<char> buffer(1 << 20);
    int64_t got;
    bool copied = true;
    while ((got = ReadSome(in.Get(), buffer.data(), buffer.size())) > 0) {
        if (!WriteFull(out.Get(), buffer.data(), static_cast<size_t>(got))) {
            copied = false;
            break;
        }
        if (onCopied) onCopied(static_cast<uint64_t>(got));
    }
    copied = copied && got == 0 && SyncFile(out.Get()) && out.Close();
    if (!copied) error = "cannot copy " + from + " to " + temp + ": " + std::strerror(errno);
    if (!copied) {
        ::unlink(temp.c_str());
        return {};
    }
    return temp;
}

bool SameFileContent(const std::string& a, const std::string& b) {
    FileHandle fileA = OpenNativeFile(a, OpenMode::ReadOnly);
    FileHandle fileB = OpenNativeFile(b, OpenMode::ReadOnly);
    bool same = fileA.IsOpen() && fileB.IsOpen();
    int fa = fileA.Get(), fb = fileB.Get();
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (same) {
        int64_t na = ReadSome(fa, ba.data(), ba.size());
        if (na < 0 || (na > 0 && !ReadFull(fb, bb.data(), static_cast<size_t>(na)))) {
            same = false;
            break;
        }
        if (na == 0) {
            char extra;
            same = ReadSome(fb, &extra, 1) == 0;
            break;
        }
        same = std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) == 0;
    }
    return same;
}

std::string DescribeZipError(const CZipException& error) {
    return ZipCauseText(error.Cause()) + " (cause " + std::to_string(error.Cause()) + ")";
}

}  // namespace korvun::tool
