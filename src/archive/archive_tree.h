// The in-memory index tree of a game or update archive: file entries and folders, each folder
// keeping its lists in insertion order.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvun {

// A stored name holds at most this many bytes; its length field counts one more for the NUL.
constexpr size_t kMaxNameBytes = 255;

// One file of an archive, and also one free region of a data file.
struct ArchiveEntry {
    std::string name;
    uint64_t offset = 0;  // absolute position of the content in the data file
    uint32_t size = 0;    // content bytes; the terminator byte after them is not counted
    uint32_t extraWord = 0;

    bool operator==(const ArchiveEntry&) const = default;
};

// Names match when they are equal after folding the case of ASCII letters only.
bool NamesEqualIgnoringCase(std::string_view a, std::string_view b);

// Lookups must find the first match in list order, as a walk of the list would. Large folders
// get a hash index, built on the first lookup and kept current from then on, so that a merge
// touching thousands of entries of one folder stays linear.
template <typename List>
class NameIndex {
  public:
    using Iterator = typename List::iterator;

    void Build(List& list);
    void Add(Iterator it);
    void Remove(Iterator it);
    // The first element of the list whose name matches, or end.
    Iterator Find(std::string_view name, Iterator end) const;

  private:
    std::unordered_map<std::string, std::vector<Iterator>> byFoldedName_;
};

class ArchiveFolder {
  public:
    using FileList = std::list<ArchiveEntry>;
    using FolderList = std::list<ArchiveFolder>;

    explicit ArchiveFolder(std::string folderName = {});
    ~ArchiveFolder();
    ArchiveFolder(ArchiveFolder&&) noexcept;
    ArchiveFolder& operator=(ArchiveFolder&&) noexcept;
    ArchiveFolder(const ArchiveFolder&) = delete;
    ArchiveFolder& operator=(const ArchiveFolder&) = delete;

    std::string name;

    const FileList& Files() const { return files_; }
    const FolderList& Subfolders() const { return subfolders_; }
    FolderList& Subfolders() { return subfolders_; }  // to walk and change the subtrees

    ArchiveEntry& AppendFile(ArchiveEntry entry);
    ArchiveFolder& AppendSubfolder(std::string folderName);

    // The first file (subfolder) in list order whose name matches, or null.
    const ArchiveEntry* FindFile(std::string_view fileName) const;
    ArchiveFolder* FindSubfolder(std::string_view folderName);
    const ArchiveFolder* FindSubfolder(std::string_view folderName) const;

    // Unlinks the first file whose name matches and hands it over.
    std::optional<ArchiveEntry> TakeFile(std::string_view fileName);
    // Unlinks every file, in list order.
    FileList TakeAllFiles();

  private:
    FileList::iterator FindFileIterator(std::string_view fileName) const;
    FolderList::iterator FindFolderIterator(std::string_view folderName) const;

    // Lists are mutable only so that a const lookup can build its index lazily.
    mutable FileList files_;
    mutable FolderList subfolders_;
    mutable std::unique_ptr<NameIndex<FileList>> fileIndex_;
    mutable std::unique_ptr<NameIndex<FolderList>> folderIndex_;
};

}  // namespace korvun
