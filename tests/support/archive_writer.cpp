#include "support/archive_writer.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace korvun::test {

void AppendU32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendU64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendRecord(std::string& out, const RawRecord& record) {
    uint32_t length = record.nameLength.value_or(static_cast<uint32_t>(record.name.size() + 1));
    AppendU32(out, length);
    std::string name = record.name;
    name.resize(length, '\0');
    out += name;
    AppendU64(out, record.offset);
    AppendU32(out, record.size);
    AppendU32(out, record.extraWord);
}

void AppendFolder(std::string& out, const RawFolder& folder) {
    AppendU32(out, static_cast<uint32_t>(folder.name.size() + 1));
    out += folder.name;
    out.push_back('\0');
    AppendU32(out, static_cast<uint32_t>(
                       folder.fileCount.value_or(static_cast<int32_t>(folder.files.size()))));
    for (const RawRecord& file : folder.files) AppendRecord(out, file);
    AppendU32(out, static_cast<uint32_t>(
                       folder.folderCount.value_or(static_cast<int32_t>(folder.folders.size()))));
    for (const RawFolder& sub : folder.folders) AppendFolder(out, sub);
}

std::string EncodeIndexUpToTree(const RawIndex& index) {
    std::string out = index.signature;
    AppendU32(out, index.headerWord);
    AppendU32(out, static_cast<uint32_t>(index.fileCount));
    out.append(reinterpret_cast<const char*>(index.headerBlock.data()), index.headerBlock.size());
    AppendFolder(out, index.root);
    return out;
}

std::string EncodeIndex(const RawIndex& index) {
    std::string out = EncodeIndexUpToTree(index);
    AppendU32(out, static_cast<uint32_t>(index.freeList.size()));
    for (const RawRecord& record : index.freeList) AppendRecord(out, record);
    AppendU32(out, index.lostBytes);
    return out;
}

namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

RawFolder* FindFolder(RawFolder& parent, const std::string& name) {
    for (RawFolder& sub : parent.folders) {
        if (SameIgnoringCase(sub.name, name)) return &sub;
    }
    return nullptr;
}

struct Model {
    RawIndex& game;
    std::vector<RawRecord> freeList;  // list order

    // Remove at a path split at "/" and "\", releasing the region.
    void Remove(const std::string& path) {
        RawFolder* folder = &game.root;
        std::string component;
        for (char c : path) {
            if (c == '/' || c == '\\') {
                folder = FindFolder(*folder, component);
                if (!folder) return;
                component.clear();
            } else {
                component.push_back(c);
            }
        }
        for (size_t i = 0; i < folder->files.size(); ++i) {
            if (!SameIgnoringCase(folder->files[i].name, component)) continue;
            RawRecord removed = folder->files[i];
            folder->files.erase(folder->files.begin() + static_cast<long>(i));
            removed.nameLength.reset();
            if (removed.size != 0) freeList.push_back(removed);
            game.fileCount = static_cast<int32_t>(static_cast<uint32_t>(game.fileCount) - 1);
            return;
        }
    }

    void Add(const std::string& path, RawRecord entry) {
        RawFolder* folder = &game.root;
        std::string component;
        for (char c : path) {
            if (c == '\\') {
                RawFolder* next = FindFolder(*folder, component);
                if (!next) {
                    folder->folders.push_back(RawFolder{component, {}, {}, {}, {}});
                    next = &folder->folders.back();
                }
                folder = next;
                component.clear();
            } else {
                component.push_back(c);
            }
        }
        folder->files.push_back(std::move(entry));
    }

    bool Take(uint32_t needed, uint64_t& offset) {
        for (size_t i = 0; i < freeList.size(); ++i) {
            if (freeList[i].size < needed) continue;
            RawRecord taken = freeList[i];
            freeList.erase(freeList.begin() + static_cast<long>(i));
            offset = taken.offset;
            uint32_t rest = taken.size - needed;
            if (rest > 1)
                freeList.push_back(
                    RawRecord{"rest space", taken.offset + needed + 1, rest - 1, 0, std::nullopt});
            return true;
        }
        return false;
    }
};

void Collect(const RawFolder& folder, const std::string& prefix,
             std::vector<std::pair<std::string, RawRecord>>& pending) {
    for (const RawRecord& file : folder.files) {
        pending.emplace_back(prefix.empty() ? file.name : prefix + "\\" + file.name, file);
    }
    for (const RawFolder& sub : folder.folders) {
        Collect(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name, pending);
    }
}

// Names as the code sees them: cut at the first NUL of the stored bytes.
void NormaliseNames(RawFolder& folder) {
    folder.name = folder.name.c_str();
    folder.fileCount.reset();
    folder.folderCount.reset();
    for (RawRecord& file : folder.files) {
        file.name = file.name.c_str();
        file.nameLength.reset();
    }
    for (RawFolder& sub : folder.folders) NormaliseNames(sub);
}

}  // namespace

std::vector<RawRecord> ModelLoadFreeList(const std::vector<RawRecord>& stored) {
    std::vector<RawRecord> list;
    for (RawRecord record : stored) {
        record.name = record.name.c_str();
        record.nameLength.reset();
        size_t at = 0;
        while (at < list.size() && list[at].size < record.size) ++at;
        list.insert(list.begin() + static_cast<long>(at), record);
    }
    return list;
}

void ModelMerge(RawIndex& game, std::string& gameData, const RawIndex& update,
                const std::string& updateData) {
    NormaliseNames(game.root);
    Model model{game, ModelLoadFreeList(game.freeList)};
    RawIndex updateCopy = update;
    NormaliseNames(updateCopy.root);
    std::vector<std::pair<std::string, RawRecord>> pending;
    Collect(updateCopy.root, "", pending);
    for (auto& [path, entry] : pending) model.Remove(path);
    for (auto& [path, entry] : pending) {
        uint64_t offset;
        if (!model.Take(entry.size, offset)) offset = gameData.size();
        std::string bytes = updateData.substr(entry.offset, entry.size);
        bytes.push_back('\0');
        if (gameData.size() < offset + bytes.size()) gameData.resize(offset + bytes.size(), '\0');
        gameData.replace(offset, bytes.size(), bytes);
        entry.offset = offset;
        model.Add(path, entry);
    }
    game.headerWord = update.headerWord;
    game.headerBlock = update.headerBlock;
    game.fileCount = static_cast<int32_t>(static_cast<uint32_t>(game.fileCount) +
                                          static_cast<uint32_t>(update.fileCount));
    game.freeList = model.freeList;
}

bool ModelDeleteAndSave(RawIndex& game, const std::string* deleteList) {
    NormaliseNames(game.root);
    Model model{game, ModelLoadFreeList(game.freeList)};
    bool modified = false;
    if (deleteList) {
        std::string text;
        for (size_t i = 0; i < deleteList->size(); ++i) {
            if ((*deleteList)[i] == '\r' && i + 1 < deleteList->size() &&
                (*deleteList)[i + 1] == '\n') {
                continue;
            }
            text.push_back((*deleteList)[i]);
        }
        // fgets with a 2048-byte buffer, then cut at tab or line feed.
        size_t pos = 0;
        while (pos < text.size()) {
            std::string line;
            while (pos < text.size() && line.size() < 2047) {
                char c = text[pos++];
                line.push_back(c);
                if (c == '\n') break;
            }
            std::string path = line.c_str();
            size_t cut = path.find_first_of("\t\n");
            if (cut != std::string::npos) path.resize(cut);
            model.Remove(path);
        }
        modified = true;
    }
    bool trimmed = false;
    if (model.freeList.size() > 700) {
        while (model.freeList.size() > 500) {
            game.lostBytes += model.freeList.front().size;
            model.freeList.erase(model.freeList.begin());
        }
        trimmed = true;
    }
    game.freeList = model.freeList;
    return modified || trimmed;
}

RawRecord& ArchiveBuilder::Add(const std::string& path, const std::string& content,
                               uint32_t extraWord) {
    RawFolder* folder = &index.root;
    size_t start = 0;
    for (size_t slash; (slash = path.find('\\', start)) != std::string::npos; start = slash + 1) {
        std::string component = path.substr(start, slash - start);
        RawFolder* next = nullptr;
        for (RawFolder& sub : folder->folders) {
            if (sub.name == component) next = &sub;
        }
        if (!next) {
            folder->folders.push_back(RawFolder{component, {}, {}, {}, {}});
            next = &folder->folders.back();
        }
        folder = next;
    }
    folder->files.push_back(RawRecord{
        path.substr(start), data.size(), static_cast<uint32_t>(content.size()), extraWord, {}});
    data += content;
    data.push_back('\0');
    ++index.fileCount;
    return folder->files.back();
}

uint64_t ArchiveBuilder::AddGap(size_t size, char fill) {
    uint64_t at = data.size();
    data.append(size, fill);
    return at;
}

bool PathExists(const std::string& path) { return std::filesystem::exists(path); }

bool RecordingMarkers::Record(const std::string& marker) {
    writes.push_back(Write{marker, ReadFileBytes("data.kah"), ReadFileBytes("data.kaf")});
    return marker != failing;
}

std::vector<std::string> RecordingMarkers::Markers() const {
    std::vector<std::string> markers;
    for (const Write& write : writes) markers.push_back(write.marker);
    return markers;
}

ScopedGameDir::ScopedGameDir() {
    char pattern[] = "/tmp/korvun-archive-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
}

ScopedGameDir::~ScopedGameDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace korvun::test
