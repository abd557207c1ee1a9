#include "client_verify.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "client_tree.h"
#include "tool_support.h"

namespace korvun::tool {

namespace {

// Folded, '/'-separated, for matching --ignore against loose and archive paths alike.
std::string Normalized(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    while (!path.empty() && path.back() == '/') path.pop_back();
    return FoldCase(path);
}

bool Ignored(const std::string& path, const std::vector<std::string>& ignore) {
    std::string normal = Normalized(path);
    return std::any_of(ignore.begin(), ignore.end(), [&](const std::string& prefix) {
        return normal == prefix ||
               (normal.size() > prefix.size() && normal.compare(0, prefix.size(), prefix) == 0 &&
                normal[prefix.size()] == '/');
    });
}

std::string SizeText(uint64_t a, uint64_t b) {
    return a == b ? "same size" : std::to_string(a) + " bytes, reference " + std::to_string(b);
}

void CompareLoose(const ClientTree& game, const ClientTree& reference,
                  const std::vector<std::string>& ignore, VerifyResult& result) {
    for (const auto& [key, want] : reference.Loose()) {
        if (Ignored(want.path, ignore)) continue;
        auto have = game.Loose().find(key);
        if (have == game.Loose().end()) {
            result.differences.push_back("missing loose file: " + want.path);
            continue;
        }
        ++result.looseCompared;
        if (have->second.size != want.size ||
            !SameFileContent(game.LoosePath(have->second), reference.LoosePath(want))) {
            result.differences.push_back("loose file differs: " + want.path + " (" +
                                         SizeText(have->second.size, want.size) + ")");
        }
    }
    for (const auto& [key, have] : game.Loose()) {
        if (!Ignored(have.path, ignore) && !reference.Loose().contains(key)) {
            result.differences.push_back("extra loose file: " + have.path);
        }
    }
}

void CompareArchive(const ClientTree& game, const ClientTree& reference,
                    const std::vector<std::string>& ignore, VerifyResult& result) {
    DataFile gameData(game.DataFilePath()), referenceData(reference.DataFilePath());
    for (const auto& [key, want] : reference.Archive()) {
        if (Ignored(want.path, ignore)) continue;
        auto have = game.Archive().find(key);
        if (have == game.Archive().end()) {
            result.differences.push_back("missing archive entry: " + want.path);
            continue;
        }
        ++result.entriesCompared;
        const ArchiveEntry& a = have->second.entry;
        bool unreadable = false;
        if (!SameEntryContent(gameData, a, referenceData, want.entry, unreadable)) {
            result.differences.push_back(
                "archive entry differs: " + want.path + " (" +
                (unreadable ? std::string("its content lies beyond the end of a data file")
                            : SizeText(a.size, want.entry.size)) +
                ")");
        } else if (a.extraWord != want.entry.extraWord) {
            char text[96];
            std::snprintf(text, sizeof text,
                          " (extraWord 0x%08" PRIx32 ", reference 0x%08" PRIx32 ")", a.extraWord,
                          want.entry.extraWord);
            result.differences.push_back("archive entry differs: " + want.path + text);
        }
    }
    for (const auto& [key, have] : game.Archive()) {
        if (!Ignored(have.path, ignore) && !reference.Archive().contains(key)) {
            result.differences.push_back("extra archive entry: " + have.path);
        }
    }
    if (game.HeaderWord() != reference.HeaderWord() ||
        game.HeaderBlock() != reference.HeaderBlock()) {
        result.differences.push_back("archive header (headerWord or headerBlock) differs");
    }
    // The updater keeps the count by arithmetic; a drift means a merge went wrong.
    if (game.FileCount() != static_cast<int32_t>(game.Archive().size())) {
        result.differences.push_back("data.kah says fileCount " + std::to_string(game.FileCount()) +
                                     " but holds " + std::to_string(game.Archive().size()) +
                                     " entries");
    }
}

}  // namespace

VerifyResult VerifyClient(const std::string& gameDir, const std::string& reference,
                          const std::vector<std::string>& ignore) {
    VerifyResult result;
    ClientTree game, want;
    if (!game.Load(gameDir) || !want.Load(reference)) {
        result.status = kVerifyUnreadable;
        result.error = !game.Error().empty() ? game.Error() : want.Error();
        return result;
    }
    std::vector<std::string> normalIgnore;
    for (const std::string& path : ignore) normalIgnore.push_back(Normalized(path));
    for (const std::string& problem : game.Problems()) {
        result.differences.push_back("in the client: " + problem);
    }
    for (const std::string& problem : want.Problems()) {
        result.differences.push_back("in the reference: " + problem);
    }
    CompareLoose(game, want, normalIgnore, result);
    CompareArchive(game, want, normalIgnore, result);
    result.status = result.differences.empty() ? kVerifyIdentical : kVerifyDifferent;
    return result;
}

}  // namespace korvun::tool
