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
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool written = WriteFull(fd, content.data(), content.size()) && SyncFile(fd);
    int savedErrno = errno;
    CloseFile(fd);
    if (!written || !ReplaceFile(temp, path)) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : savedErrno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string CopyToTemporary(const std::string& from, const std::string& to, std::string& error) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        error = "cannot open " + from + ": " + std::strerror(errno);
        return {};
    }
    std::string temp = TemporaryNameFor(to);
    int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        CloseFile(in);
        return {};
    }
    std::vector<char> buffer(1 << 20);
    int64_t got;
    bool copied = true;
    while ((got = ReadSome(in, buffer.data(), buffer.size())) > 0) {
        if (!WriteFull(out, buffer.data(), static_cast<size_t>(got))) {
            copied = false;
            break;
        }
    }
    copied = copied && got == 0 && SyncFile(out);
    if (!copied) error = "cannot copy " + from + " to " + temp + ": " + std::strerror(errno);
    CloseFile(in);
    CloseFile(out);
    if (!copied) {
        ::unlink(temp.c_str());
        return {};
    }
    return temp;
}

bool SameFileContent(const std::string& a, const std::string& b) {
    int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
    int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
    bool same = fa >= 0 && fb >= 0;
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
    CloseFile(fa);
    CloseFile(fb);
    return same;
}

std::string DescribeZipError(const CZipException& error) {
    return ZipCauseText(error.Cause()) + " (cause " + std::to_string(error.Cause()) + ")";
}

}  // namespace korvun::tool
