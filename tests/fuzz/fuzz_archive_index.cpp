// Loads arbitrary bytes as an archive index; what loads must write back and load again, and
// the tree operations of a merge and a deletion list must run on it without fault.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "archive/game_archive.h"
#include "archive/state_markers.h"
#include "support/game_archive_probe.h"

namespace {

std::string Written(const korvun::ArchiveIndex& index) {
    std::string out;
    korvun::IndexWriter writer(out);
    korvun::GameArchive::WriteIndex(writer, index);
    writer.Flush();
    return out;
}

void CollectPaths(const korvun::ArchiveFolder& folder, const std::string& prefix,
                  std::vector<std::string>& paths) {
    for (const korvun::ArchiveEntry& entry : folder.Files()) {
        paths.push_back(prefix.empty() ? entry.name : prefix + "/" + entry.name);
    }
    for (const korvun::ArchiveFolder& sub : folder.Subfolders()) {
        CollectPaths(sub, prefix.empty() ? sub.name : prefix + "\\" + sub.name, paths);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static korvun::NoStateMarkers markers;
    korvun::GameArchive archive(korvun::ClientDirectory("."), markers);
    korvun::GameArchiveProbe probe(archive);
    korvun::IndexReader in(data, size);
    if (probe.LoadGameIndex(in)) {
        // Loading sorts the free list and reverses equal sizes, so two rounds restore it.
        std::string first = Written(probe.Index());
        korvun::IndexReader in2(first.data(), first.size());
        std::optional<korvun::ArchiveIndex> second = korvun::GameArchive::ReadIndex(in2, nullptr);
        if (!second) abort();
        std::string again = Written(*second);
        korvun::IndexReader in3(again.data(), again.size());
        std::optional<korvun::ArchiveIndex> third = korvun::GameArchive::ReadIndex(in3, nullptr);
        if (!third || Written(*third) != first) abort();

        // A deletion list naming some of the files, then first-fit requests.
        std::vector<std::string> paths;
        CollectPaths(probe.Index().root, "", paths);
        int32_t count = probe.Index().fileCount;
        size_t removed = 0;
        for (size_t i = 0; i < paths.size() && i < 64; i += 2, ++removed) {
            probe.RemoveEntry(paths[i]);
        }
        // Case twins can hide a path behind an earlier folder; never more than asked go.
        uint32_t gone =
            static_cast<uint32_t>(count) - static_cast<uint32_t>(probe.Index().fileCount);
        if (gone > removed) abort();
        for (size_t i = 0; i < size && i < 16; ++i) {
            uint64_t offset;
            probe.TakeFreeSpace(uint32_t{data[i]} * 37u, offset);
        }
        Written(probe.Index());
    }

    // The same bytes as an update tree: collect it against the game tree and add the files.
    if (size > korvun::GameArchive::kHeaderSize) {
        korvun::IndexReader tree(data + korvun::GameArchive::kHeaderSize,
                                 size - korvun::GameArchive::kHeaderSize);
        korvun::GameArchive merge(korvun::ClientDirectory("."), markers);
        korvun::GameArchiveProbe mergeProbe(merge);
        if (mergeProbe.ReadUpdateTree(tree)) {
            mergeProbe.CollectUpdateFiles();
            for (const korvun::PendingCopy& pending : mergeProbe.Pending()) {
                if (std::count(pending.path.begin(), pending.path.end(), '\\') >
                    static_cast<long>(korvun::GameArchive::kMaxFolderDepth)) {
                    continue;
                }
                uint64_t offset;
                mergeProbe.TakeFreeSpace(pending.entry.size, offset);
                mergeProbe.AddEntry(pending.path, pending.entry);
            }
            Written(mergeProbe.Index());
        }
    }
    return 0;
}
