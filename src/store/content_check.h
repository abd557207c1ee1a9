// Compares a client with the content manifest of its release: every loose file and every
// archive entry hashed, each file read once from start to end (the archive's data file in
// the order its entries lie), and the fields of Version.ini.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/client_directory.h"
#include "platform/progress_sink.h"
#include "store/content_manifest.h"

namespace korvun {

struct ContentDifference {
    enum class Kind { Missing, Changed, Extra };
    Kind kind = Kind::Changed;
    // The manifest's item, when it lists one (not for extra files and Version.ini fields).
    const ContentItem* item = nullptr;
    std::string what;  // for the player: "missing file Game.exe", ...
    // A changed archive entry of the right size: where its bytes lie in data.kaf now, so
    // that a repair fetches only the pieces that differ.
    std::optional<uint64_t> presentOffset;
};

struct ContentCheckResult {
    std::vector<ContentDifference> differences;
    // The client's archive index could be read; when not, every entry counts as missing.
    bool archiveReadable = false;
    uint64_t bytesHashed = 0;
    bool stopped = false;  // the progress sink asked to stop; the result is incomplete
};

// progress, when given, learns the bytes to hash and each block hashed; it may stop the check.
ContentCheckResult CheckClientContent(const ClientDirectory& client,
                                      const ContentManifest& manifest,
                                      ProgressSink* progress = nullptr);

// The client's own bookkeeping files, which are no content and never extra.
bool IsClientStateFile(const std::string& relativePath);

}  // namespace korvun
