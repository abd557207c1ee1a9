#include "archive/archive_tree.h"

#include <algorithm>
#include <bit>

namespace korvun {

namespace {

// Below this size a walk of the list is cheaper than building a hash index.
constexpr size_t kIndexThreshold = 16;
// Holes left by taken files are squeezed out once there are more of them than this and
// than files.
constexpr size_t kHoleSlack = 32;

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool NamesEqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

uint32_t FoldedNameHash(std::string_view name) {
    // FNV-1a, with a final mix so that the low bits used for the table are well spread.
    uint32_t hash = 2166136261u;
    for (char c : name) hash = (hash ^ static_cast<uint8_t>(FoldAscii(c))) * 16777619u;
    hash ^= hash >> 15;
    hash *= 0x2c1b3c6du;
    return hash ^ (hash >> 12);
}

template <typename NameAt>
void NameIndex::Build(size_t positions, NameAt nameAt) {
    slots_.assign(std::bit_ceil(std::max<size_t>(positions * 2, 32)), Slot{});
    used_ = 0;
    nextSame_.clear();
    for (size_t position = 0; position < positions; ++position) {
        if (nameAt(position)) Add(static_cast<uint32_t>(position), nameAt);
    }
}

template <typename NameAt>
size_t NameIndex::SlotOf(std::string_view name, uint32_t hash, NameAt nameAt) const {
    size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    for (; slots_[slot].first != kNone; slot = (slot + 1) & mask) {
        if (slots_[slot].hash == hash &&
            NamesEqualIgnoringCase(*nameAt(slots_[slot].first), name)) {
            break;
        }
    }
    return slot;
}

template <typename NameAt>
void NameIndex::Add(uint32_t position, NameAt nameAt) {
    const std::string& name = *nameAt(position);
    uint32_t hash = FoldedNameHash(name);
    Slot& slot = slots_[SlotOf(name, hash, nameAt)];
    if (slot.first != kNone) {
        // A later twin: it becomes the first only once those before it are taken out.
        if (nextSame_.size() <= position) nextSame_.resize(position + 1, kNone);
        nextSame_[slot.last] = position;
        slot.last = position;
        return;
    }
    slot = Slot{position, position, hash};
    if (++used_ * 2 > slots_.size()) Grow();
}

template <typename NameAt>
uint32_t NameIndex::Find(std::string_view name, NameAt nameAt) const {
    return slots_[SlotOf(name, FoldedNameHash(name), nameAt)].first;
}

void NameIndex::Remove(uint32_t position, std::string_view name) {
    uint32_t hash = FoldedNameHash(name);
    size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    while (slots_[slot].first != position) {
        if (slots_[slot].first == kNone) return;
        slot = (slot + 1) & mask;
    }
    uint32_t next = position < nextSame_.size() ? nextSame_[position] : kNone;
    if (next != kNone) {
        slots_[slot].first = next;
    } else {
        Erase(slot);
    }
}

void NameIndex::Erase(size_t slot) {
    // Linear probing without tombstones: later members of the cluster whose probe path
    // crosses the hole move back into it.
    size_t mask = slots_.size() - 1;
    size_t hole = slot;
    for (size_t at = (hole + 1) & mask; slots_[at].first != kNone; at = (at + 1) & mask) {
        size_t home = slots_[at].hash & mask;
        if (((at - home) & mask) >= ((at - hole) & mask)) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = Slot{};
    --used_;
}

void NameIndex::Grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{});
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
        if (entry.first == kNone) continue;
        size_t slot = entry.hash & mask;
        while (slots_[slot].first != kNone) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
}

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

void ArchiveFolder::AppendFile(ArchiveEntry entry) {
    files_.push_back(FileSlot{std::move(entry), true});
    IndexAppendedFile();
}

void ArchiveFolder::AppendFile(std::string_view fileName, uint64_t offset, uint32_t size,
                               uint32_t extraWord) {
    ArchiveEntry& entry = files_.emplace_back().entry;
    entry.name.assign(fileName);
    entry.offset = offset;
    entry.size = size;
    entry.extraWord = extraWord;
    IndexAppendedFile();
}

void ArchiveFolder::IndexAppendedFile() {
    ++liveFiles_;
    if (fileIndex_) {
        fileIndex_->Add(static_cast<uint32_t>(files_.size() - 1),
                        [&](size_t at) { return &files_[at].entry.name; });
    }
}

ArchiveFolder& ArchiveFolder::AppendSubfolder(std::string folderName) {
    ArchiveFolder& folder = subfolders_.emplace_back(std::move(folderName));
    if (folderIndex_) {
        folderAt_.push_back(&folder);
        folderIndex_->Add(static_cast<uint32_t>(folderAt_.size() - 1),
                          [&](size_t at) { return &folderAt_[at]->name; });
    }
    return folder;
}

uint32_t ArchiveFolder::FindFilePosition(std::string_view fileName) const {
    auto nameAt = [&](size_t at) { return files_[at].live ? &files_[at].entry.name : nullptr; };
    if (!fileIndex_ && liveFiles_ > kIndexThreshold) {
        fileIndex_ = std::make_unique<NameIndex>();
        fileIndex_->Build(files_.size(), nameAt);
    }
    if (fileIndex_) return fileIndex_->Find(fileName, nameAt);
    for (size_t at = 0; at < files_.size(); ++at) {
        if (files_[at].live && NamesEqualIgnoringCase(files_[at].entry.name, fileName)) {
            return static_cast<uint32_t>(at);
        }
    }
    return NameIndex::kNone;
}

ArchiveFolder* ArchiveFolder::FindFolder(std::string_view folderName) const {
    auto nameAt = [&](size_t at) { return &folderAt_[at]->name; };
    if (!folderIndex_ && subfolders_.size() > kIndexThreshold) {
        folderAt_.clear();
        for (ArchiveFolder& folder : subfolders_) folderAt_.push_back(&folder);
        folderIndex_ = std::make_unique<NameIndex>();
        folderIndex_->Build(folderAt_.size(), nameAt);
    }
    if (folderIndex_) {
        uint32_t at = folderIndex_->Find(folderName, nameAt);
        return at == NameIndex::kNone ? nullptr : folderAt_[at];
    }
    for (ArchiveFolder& folder : subfolders_) {
        if (NamesEqualIgnoringCase(folder.name, folderName)) return &folder;
    }
    return nullptr;
}

const ArchiveEntry* ArchiveFolder::FindFile(std::string_view fileName) const {
    uint32_t at = FindFilePosition(fileName);
    return at == NameIndex::kNone ? nullptr : &files_[at].entry;
}

ArchiveFolder* ArchiveFolder::FindSubfolder(std::string_view folderName) {
    return FindFolder(folderName);
}

const ArchiveFolder* ArchiveFolder::FindSubfolder(std::string_view folderName) const {
    return FindFolder(folderName);
}

std::optional<ArchiveEntry> ArchiveFolder::TakeFile(std::string_view fileName) {
    uint32_t at = FindFilePosition(fileName);
    if (at == NameIndex::kNone) return std::nullopt;
    FileSlot& slot = files_[at];
    if (fileIndex_) fileIndex_->Remove(at, slot.entry.name);
    ArchiveEntry entry = std::move(slot.entry);
    slot.live = false;
    --liveFiles_;
    size_t holes = files_.size() - liveFiles_;
    if (holes > kHoleSlack && holes > liveFiles_) SqueezeHoles();
    return entry;
}

void ArchiveFolder::SqueezeHoles() {
    std::erase_if(files_, [](const FileSlot& slot) { return !slot.live; });
    fileIndex_.reset();  // positions moved; rebuilt on the next lookup
}

std::vector<ArchiveEntry> ArchiveFolder::TakeAllFiles() {
    std::vector<ArchiveEntry> taken;
    taken.reserve(liveFiles_);
    for (FileSlot& slot : files_) {
        if (slot.live) taken.push_back(std::move(slot.entry));
    }
    files_.clear();
    liveFiles_ = 0;
    fileIndex_.reset();
    return taken;
}

}  // namespace korvun
