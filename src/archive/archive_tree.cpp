#include "archive/archive_tree.h"

#include <algorithm>

namespace korvun {

namespace {

// Below this size a walk of the list is cheaper than building a hash index.
constexpr size_t kIndexThreshold = 16;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string FoldedName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = FoldAscii(c);
    return folded;
}

}  // namespace

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

template <typename List>
void NameIndex<List>::Build(List& list) {
    byFoldedName_.clear();
    byFoldedName_.reserve(list.size());
    for (auto it = list.begin(); it != list.end(); ++it) Add(it);
}

template <typename List>
void NameIndex<List>::Add(Iterator it) {
    // Elements only ever join at the end of their list, so each vector stays in list order.
    byFoldedName_[FoldedName(it->name)].push_back(it);
}

template <typename List>
void NameIndex<List>::Remove(Iterator it) {
    auto found = byFoldedName_.find(FoldedName(it->name));
    if (found == byFoldedName_.end()) return;
    auto& same = found->second;
    same.erase(std::find(same.begin(), same.end(), it));
    if (same.empty()) byFoldedName_.erase(found);
}

template <typename List>
typename NameIndex<List>::Iterator NameIndex<List>::Find(std::string_view name,
                                                         Iterator end) const {
    auto found = byFoldedName_.find(FoldedName(name));
    return found == byFoldedName_.end() ? end : found->second.front();
}

template class NameIndex<ArchiveFolder::FileList>;
template class NameIndex<ArchiveFolder::FolderList>;

ArchiveFolder::ArchiveFolder(std::string folderName) : name(std::move(folderName)) {}

ArchiveFolder::~ArchiveFolder() {
    // Take a deep tree apart level by level, so that destroying it never recurses deeply.
    FolderList pending;
    pending.splice(pending.end(), subfolders_);
    while (!pending.empty()) {
        pending.splice(pending.end(), pending.front().subfolders_);
        pending.pop_front();
    }
}

ArchiveFolder::ArchiveFolder(ArchiveFolder&&) noexcept = default;
ArchiveFolder& ArchiveFolder::operator=(ArchiveFolder&&) noexcept = default;

ArchiveEntry& ArchiveFolder::AppendFile(ArchiveEntry entry) {
    files_.push_back(std::move(entry));
    if (fileIndex_) fileIndex_->Add(std::prev(files_.end()));
    return files_.back();
}

ArchiveFolder& ArchiveFolder::AppendSubfolder(std::string folderName) {
    subfolders_.emplace_back(std::move(folderName));
    if (folderIndex_) folderIndex_->Add(std::prev(subfolders_.end()));
    return subfolders_.back();
}

ArchiveFolder::FileList::iterator ArchiveFolder::FindFileIterator(std::string_view fileName) const {
    if (!fileIndex_ && files_.size() > kIndexThreshold) {
        fileIndex_ = std::make_unique<NameIndex<FileList>>();
        fileIndex_->Build(files_);
    }
    if (fileIndex_) return fileIndex_->Find(fileName, files_.end());
    return std::find_if(files_.begin(), files_.end(), [&](const ArchiveEntry& entry) {
        return NamesEqualIgnoringCase(entry.name, fileName);
    });
}

ArchiveFolder::FolderList::iterator ArchiveFolder::FindFolderIterator(
    std::string_view folderName) const {
    if (!folderIndex_ && subfolders_.size() > kIndexThreshold) {
        folderIndex_ = std::make_unique<NameIndex<FolderList>>();
        folderIndex_->Build(subfolders_);
    }
    if (folderIndex_) return folderIndex_->Find(folderName, subfolders_.end());
    return std::find_if(subfolders_.begin(), subfolders_.end(), [&](const ArchiveFolder& folder) {
        return NamesEqualIgnoringCase(folder.name, folderName);
    });
}

const ArchiveEntry* ArchiveFolder::FindFile(std::string_view fileName) const {
    auto it = FindFileIterator(fileName);
    return it == files_.end() ? nullptr : &*it;
}

ArchiveFolder* ArchiveFolder::FindSubfolder(std::string_view folderName) {
    auto it = FindFolderIterator(folderName);
    return it == subfolders_.end() ? nullptr : &*it;
}

const ArchiveFolder* ArchiveFolder::FindSubfolder(std::string_view folderName) const {
    auto it = FindFolderIterator(folderName);
    return it == subfolders_.end() ? nullptr : &*it;
}

std::optional<ArchiveEntry> ArchiveFolder::TakeFile(std::string_view fileName) {
    auto it = FindFileIterator(fileName);
    if (it == files_.end()) return std::nullopt;
    if (fileIndex_) fileIndex_->Remove(it);
    ArchiveEntry entry = std::move(*it);
    files_.erase(it);
    return entry;
}

ArchiveFolder::FileList ArchiveFolder::TakeAllFiles() {
    fileIndex_.reset();
    FileList taken;
    taken.swap(files_);
    return taken;
}

}  // namespace korvun
