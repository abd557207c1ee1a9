#include "zip/extract_package.h"

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

#include "platform/progress_sink.h"
#include "platform/win_path.h"
#include "zip/portable_names.h"
#include "zip/zip_paths.h"
#include "zip/zip_reader.h"

namespace korvun {

namespace {

constexpr uint32_t kWriteBufferSize = 1500000;
constexpr uint32_t kReadBufferSize = 16384;
constexpr uint32_t kSearchBufferSize = 32768;
constexpr uint32_t kChunkSize = 65535;
constexpr uint64_t kLocalHeaderSize = 30;

// The name as extraction places it below the destination ("./x.txt", "/x.txt", "C:x.txt" and
// "X.TXT" are all "x.txt"), folded as the destination's folders compare names. Entries that
// land on the destination itself count as unnamed; refused names keep their own spelling.
std::string ResolvedName(const std::string& name) {
    bool refused = false;
    std::vector<std::string> components = EntryComponents(name, true, &refused);
    if (refused) return "\x01refused/" + name;
    if (components.empty()) return "\x01root/" + name;
    std::string resolved;
    for (const std::string& component : components) {
        if (!resolved.empty()) resolved.push_back('/');
        resolved += FoldedName(component);
    }
    return resolved;
}

// Two entries that would write the same file (names compare as the case-insensitive target
// directories resolve them), or two entries whose data share bytes of the package, are not
// something a sound writer makes: the second would silently replace the first, or one block of
// data would be counted many times (the overlapping-entries zip bomb). Such a package is
// refused before anything is written.
bool EntriesAreDistinct(const CZipReader& reader) {
    std::set<std::string> names;
    // (disk, start, lowest end) of each entry's local header, name and data.
    std::vector<std::tuple<uint16_t, uint64_t, uint64_t>> regions;
    CZipEntry entry;
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        if (!reader.GetEntryInfo(entry, static_cast<uint16_t>(i))) return false;
        if (!names.insert(ResolvedName(entry.Name())).second) return false;
        uint64_t start = entry.localHeaderOffset;
        regions.emplace_back(
            entry.diskNumberStart, start,
            start + kLocalHeaderSize + entry.storedNameLength + entry.compressedSize);
    }
    std::sort(regions.begin(), regions.end());
    for (size_t i = 1; i < regions.size(); ++i) {
        const auto& [disk, start, end] = regions[i - 1];
        if (std::get<0>(regions[i]) == disk && std::get<1>(regions[i]) < end) return false;
    }
    return true;
}

// A name that some player's system cannot hold (portable_names.h) would land elsewhere than
// the index records, or on a device, for that player alone.
bool EntriesArePortable(const CZipReader& reader, const std::string& destRoot) {
    CZipEntry entry;
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        if (!reader.GetEntryInfo(entry, static_cast<uint16_t>(i))) return false;
        bool refused = false;
        std::vector<std::string> components = EntryComponents(entry.Name(), true, &refused);
        if (!refused && !IsPortableTarget(destRoot, components)) return false;
    }
    return true;
}

}  // namespace

ExtractResult ExtractPackage(const std::string& packageName, const std::string& destRoot,
                             ProgressSink& progress) {
    CZipReader reader;
    reader.SetBufferSizes(kWriteBufferSize, kReadBufferSize, kSearchBufferSize);
    reader.OpenPackage(packageName);

    if (!EntriesAreDistinct(reader) || !EntriesArePortable(reader, destRoot)) {
        return ExtractResult::Failed;
    }

    const int count = reader.GetEntryCount();
    uint64_t total = 0;
    CZipEntry entry;
    for (int i = 0; i < count; ++i) {
        if (reader.GetEntryInfo(entry, static_cast<uint16_t>(i)) && !entry.IsDirectory()) {
            total += entry.uncompressedSize;
        }
    }
    progress.Begin(total);

    reader.SetProgress(&progress);
    for (int i = 0; i < count; ++i) {
        if (!reader.ExtractEntry(static_cast<uint16_t>(i), destRoot, true, nullptr, kChunkSize)) {
            return ExtractResult::Failed;
        }
        if (!progress.Advance(0)) {
            reader.ClosePackage();
            return ExtractResult::Stopped;
        }
    }
    reader.ClosePackage();
    return ExtractResult::Done;
}

}  // namespace korvun
