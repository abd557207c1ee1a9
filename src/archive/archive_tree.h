// The in-memory index tree of a game or update archive: file entries and folders, each folder
// keeping its lists in insertion order.
#pragma once

#include <cstdint>
#include <iterator>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// A hash of a name with ASCII case folded, so that names that match hash alike.
uint32_t FoldedNameHash(std::string_view name);

// Lookups must find the first match in list order, as a walk of the list would. Large lists
// get this index: an open-addressing table from a name to the position of its first live
// match, built on the first lookup and kept current from then on, so that a merge touching
// thousands of entries of one folder stays linear. It holds positions and hashes only; the
// names stay in the list, reached through a NameAt function (position -> name, or null for
// a position whose element was taken out).
class NameIndex {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;

    template <typename NameAt>
    void Build(size_t positions, NameAt nameAt);
    // Records the element just appended at position, after every element indexed so far.
    template <typename NameAt>
    void Add(uint32_t position, NameAt nameAt);
    template <typename NameAt>
    uint32_t Find(std::string_view name, NameAt nameAt) const;
    // The element at position, the first live match of its name, is being taken out; the
    // next match in list order, if any, becomes the first.
    void Remove(uint32_t position, std::string_view name);

  private:
    struct Slot {
        uint32_t first = kNone;  // position of the first live match
        uint32_t last = kNone;   // and of the last, where a newcomer joins the chain
        uint32_t hash = 0;
    };

    template <typename NameAt>
    size_t SlotOf(std::string_view name, uint32_t hash, NameAt nameAt) const;
    void Erase(size_t slot);
    void Grow();

    std::vector<Slot> slots_;
    size_t used_ = 0;
    // Position -> the next position with the same name, only once a name occurs twice.
    std::vector<uint32_t> nextSame_;
};

class ArchiveFolder {
  public:
    using FolderList = std::list<ArchiveFolder>;

    // The files of a folder in list order; taking a file out leaves a hole that iteration
    // steps over, and holes are squeezed out once they outnumber the files.
    class FileRange;

    explicit ArchiveFolder(std::string folderName = {});
    ~ArchiveFolder();
    ArchiveFolder(ArchiveFolder&&) noexcept;
    ArchiveFolder& operator=(ArchiveFolder&&) noexcept;
    ArchiveFolder(const ArchiveFolder&) = delete;
    ArchiveFolder& operator=(const ArchiveFolder&) = delete;

    std::string name;

    FileRange Files() const;
    const FolderList& Subfolders() const { return subfolders_; }
    FolderList& Subfolders() { return subfolders_; }  // to walk and change the subtrees

    // Room for this many files without moving them again (a loader knows the count).
    void ReserveFiles(size_t count) { files_.reserve(count); }
    void AppendFile(ArchiveEntry entry);
    // The same, built in place (the loader's path, taken once per file of an index).
    void AppendFile(std::string_view fileName, uint64_t offset, uint32_t size, uint32_t extraWord);
    ArchiveFolder& AppendSubfolder(std::string folderName);

    // The first file (subfolder) in list order whose name matches, or null.
    const ArchiveEntry* FindFile(std::string_view fileName) const;
    ArchiveFolder* FindSubfolder(std::string_view folderName);
    const ArchiveFolder* FindSubfolder(std::string_view folderName) const;

    // Unlinks the first file whose name matches and hands it over.
    std::optional<ArchiveEntry> TakeFile(std::string_view fileName);
    // Unlinks every file, in list order.
    std::vector<ArchiveEntry> TakeAllFiles();

  private:
    struct FileSlot {
        ArchiveEntry entry;
        bool live = true;
    };

    void IndexAppendedFile();
    uint32_t FindFilePosition(std::string_view fileName) const;
    ArchiveFolder* FindFolder(std::string_view folderName) const;
    void SqueezeHoles();

    std::vector<FileSlot> files_;
    size_t liveFiles_ = 0;
    // Mutable only so that a const lookup can index the subfolders lazily.
    mutable FolderList subfolders_;
    mutable std::unique_ptr<NameIndex> fileIndex_;
    mutable std::unique_ptr<NameIndex> folderIndex_;
    mutable std::vector<ArchiveFolder*> folderAt_;  // subfolders by position, with the index
};

class ArchiveFolder::FileRange {
  public:
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = ArchiveEntry;
        using difference_type = std::ptrdiff_t;
        using pointer = const ArchiveEntry*;
        using reference = const ArchiveEntry&;

        Iterator() = default;
        Iterator(const FileSlot* at, const FileSlot* end) : at_(at), end_(end) { SkipHoles(); }
        reference operator*() const { return at_->entry; }
        pointer operator->() const { return &at_->entry; }
        Iterator& operator++() {
            ++at_;
            SkipHoles();
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

      private:
        void SkipHoles() {
            while (at_ != end_ && !at_->live) ++at_;
        }
        const FileSlot* at_ = nullptr;
        const FileSlot* end_ = nullptr;
    };

    FileRange(const FileSlot* begin, const FileSlot* end, size_t count)
        : begin_(begin), end_(end), count_(count) {}
    Iterator begin() const { return Iterator(begin_, end_); }
    Iterator end() const { return Iterator(end_, end_); }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const ArchiveEntry& front() const { return *begin(); }

  private:
    const FileSlot* begin_;
    const FileSlot* end_;
    size_t count_;
};

inline ArchiveFolder::FileRange ArchiveFolder::Files() const {
    return FileRange(files_.data(), files_.data() + files_.size(), liveFiles_);
}

}  // namespace korvun
