#include "client_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/file_io.h"
#include "platform/win_path.h"
#include "tool_support.h"
#include "zip/portable_names.h"

namespace korvun::tool {

namespace {

// The updater opens these at the top of the game directory; they are the archive, not loose
// files.
constexpr const char* kIndexName = "data.kah";
constexpr const char* kDataName = "data.kaf";

std::vector<std::string> DirectoryNames(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return names;
    while (dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string ClientTree::FindTopLevel(const std::string& name) const {
    for (const std::string& candidate : DirectoryNames(root_)) {
        if (FoldCase(candidate) == name) return root_ + "/" + candidate;
    }
    return {};
}

bool ClientTree::Load(const std::string& root) {
    root_ = root;
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    struct stat info;
    if (::stat(root_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        ::access(root_.c_str(), R_OK | X_OK) != 0) {
        error_ = root_ + " is not a readable directory";
        return false;
    }
    indexPath_ = FindTopLevel(kIndexName);
    dataPath_ = FindTopLevel(kDataName);
    if (indexPath_.empty() || dataPath_.empty()) {
        error_ = root_ + " has no data.kah and data.kaf: not a complete client tree";
        return false;
    }
    std::string reason;
    std::optional<ArchiveIndex> index = GameArchive::ReadIndexFile(indexPath_, &reason);
    if (!index) {
        error_ = indexPath_ + ": " + reason;
        return false;
    }
    headerWord_ = index->headerWord;
    fileCount_ = index->fileCount;
    headerBlock_ = index->headerBlock;
    CollectArchive(index->root, "");
    ScanDirectory("");
    return true;
}

void ClientTree::ScanDirectory(const std::string& relative) {
    std::string directory = relative.empty() ? root_ : root_ + "/" + relative;
    // Folded as the updater folds names on disk -> name, for twins in one folder.
    std::map<std::string, std::string> seen;
    for (const std::string& name : DirectoryNames(directory)) {
        std::string path = relative.empty() ? name : relative + "/" + name;
        std::string folded = FoldCase(name);
        if (relative.empty() &&
            (folded == kIndexName || folded == kDataName || IsBookkeepingFile(name))) {
            continue;
        }
        if (auto [it, added] = seen.emplace(FoldedName(name), name); !added) {
            problems_.push_back("two names that differ only in letter case: " +
                                (relative.empty() ? "" : relative + "/") + it->second + " and " +
                                path);
            continue;
        }
        // A package of this tree would fail for every player (the updater refuses it).
        if (IsWindowsOnlyTrouble(name) || NativeNameLength(path) > kLongestPortableName) {
            problems_.push_back("a name that Windows cannot hold: " + path);
            continue;
        }
        struct stat info;
        if (::lstat((root_ + "/" + path).c_str(), &info) != 0) {
            problems_.push_back("cannot be read: " + path);
        } else if (S_ISDIR(info.st_mode)) {
            ScanDirectory(path);
        } else if (S_ISREG(info.st_mode)) {
            loose_[FoldCase(path)] = LooseFile{path, static_cast<uint64_t>(info.st_size)};
        } else {
            problems_.push_back("not a regular file or directory: " + path);
        }
    }
}

void ClientTree::CollectArchive(const ArchiveFolder& folder, const std::string& prefix) {
    for (const ArchiveEntry& entry : folder.Files()) {
        std::string path = prefix.empty() ? entry.name : prefix + "\\" + entry.name;
        auto [it, added] = archive_.emplace(FoldCase(path), ArchiveFile{path, entry});
        if (!added) {
            problems_.push_back("archive entries that differ only in letter case: " +
                                it->second.path + " and " + path);
        }
    }
    for (const ArchiveFolder& sub : folder.Subfolders()) {
        CollectArchive(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name);
    }
}

DataFile::DataFile(const std::string& path) : file_(OpenNativeFile(path, OpenMode::ReadOnly)) {}

bool DataFile::ReadAt(uint64_t offset, void* buffer, size_t size) const {
    return korvun::ReadAt(file_.Get(), buffer, size, offset);
}

bool SameEntryContent(const DataFile& a, const ArchiveEntry& ea, const DataFile& b,
                      const ArchiveEntry& eb, bool& unreadable) {
    unreadable = false;
    if (ea.size != eb.size) return false;
    constexpr size_t kChunk = 1 << 16;
    std::vector<char> ba(kChunk), bb(kChunk);
    for (uint64_t done = 0; done < ea.size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, ea.size - done));
        if (!a.ReadAt(ea.offset + done, ba.data(), n) ||
            !b.ReadAt(eb.offset + done, bb.data(), n)) {
            unreadable = true;
            return false;
        }
        if (std::memcmp(ba.data(), bb.data(), n) != 0) return false;
        done += n;
    }
    return true;
}

}  // namespace korvun::tool
