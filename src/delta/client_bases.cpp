#include "delta/client_bases.h"

#include <algorithm>

namespace korvun::delta {

namespace {

// Only plain relative names below the game directory; a delta names nothing outside it.
bool PlainRelativeName(const std::string& name, char separator) {
    if (name.empty() || name.front() == '/' || name.front() == '\\' ||
        name.find(':') != std::string::npos || name.find('\0') != std::string::npos) {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = std::min(name.find(separator, start), name.size());
        std::string component = name.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") return false;
        start = end + 1;
    }
    return separator == '\\' || name.find('\\') == std::string::npos;
}

}  // namespace

ClientBases::ClientBases(ClientDirectory client) : client_(std::move(client)) {}

ClientBases::~ClientBases() = default;

bool ClientBases::Map(const Segment& segment, FileMapping& mapping, std::string& error) {
    bool mapped = segment.base == BaseKind::LooseFile
                      ? MapLooseFile(segment.baseName, mapping, error)
                      : MapArchiveEntry(segment.baseName, mapping, error);
    if (!mapped) return false;
    if (mapping.Size() != segment.baseSize) {
        error = segment.baseName + ": the client's copy differs from the release's";
        return false;
    }
    bool& checked = checked_[{segment.base, segment.baseName}];
    if (!checked) {
        Sha256Stream sha;
        sha.Update(mapping.Data(), mapping.Size());
        if (sha.Finish() != segment.baseSha256) {
            error = segment.baseName + ": the client's copy differs from the release's";
            return false;
        }
        checked = true;
    }
    return true;
}

bool ClientBases::MapLooseFile(const std::string& name, FileMapping& mapping, std::string& error) {
    if (!PlainRelativeName(name, '/')) {
        error = name + ": not a name below the game directory";
        return false;
    }
    loose_ = OpenFile(client_.Path(name), OpenMode::ReadOnly);
    std::optional<uint64_t> length = loose_.IsOpen() ? OpenFileLength(loose_.Get()) : std::nullopt;
    if (!length || *length > SIZE_MAX || !mapping.Map(loose_.Get(), 0, *length, false)) {
        error = name + ": cannot be read";
        return false;
    }
    return true;
}

const ArchiveEntry* ClientBases::FindArchiveEntry(const std::string& path) {
    if (!indexRead_) {
        indexRead_ = true;
        std::string reason;
        index_ = GameArchive::ReadIndexFile(client_.Path("data.kah"), &reason);
        if (index_) data_ = OpenFile(client_.Path("data.kaf"), OpenMode::ReadOnly);
    }
    if (!index_) return nullptr;
    const ArchiveFolder* folder = &index_->root;
    size_t start = 0;
    for (size_t at = path.find('\\'); folder && at != std::string::npos;
         at = path.find('\\', start)) {
        folder = folder->FindSubfolder(std::string_view(path).substr(start, at - start));
        start = at + 1;
    }
    return folder ? folder->FindFile(std::string_view(path).substr(start)) : nullptr;
}

bool ClientBases::MapArchiveEntry(const std::string& path, FileMapping& mapping,
                                  std::string& error) {
    const ArchiveEntry* entry = PlainRelativeName(path, '\\') ? FindArchiveEntry(path) : nullptr;
    std::optional<uint64_t> dataBytes = data_.IsOpen() ? OpenFileLength(data_.Get()) : std::nullopt;
    if (!entry || !dataBytes) {
        error = path + ": not in the client's archive";
        return false;
    }
    // Bytes past the end of the file would not read as an error but end the process.
    if (entry->offset > *dataBytes || entry->size > *dataBytes - entry->offset) {
        error = path + ": the client's archive is shorter than its index says";
        return false;
    }
    if (!mapping.Map(data_.Get(), entry->offset, entry->size, false)) {
        error = path + ": cannot be read from the client's archive";
        return false;
    }
    return true;
}

}  // namespace korvun::delta
