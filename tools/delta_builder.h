// Writes a delta package: each entry of a full package either whole or as zstd patches
// against what a client at the version before has (delta/delta_format.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "delta/delta_format.h"

namespace korvun::tool {

// Part of an entry whose bytes may be sent as a patch against content the client has: the
// base as the client names it, and where the tool reads it.
struct BasePiece {
    uint64_t offset = 0;  // in the entry
    uint64_t size = 0;
    delta::BaseKind kind = delta::BaseKind::None;
    std::string name;
    std::string file;
    uint64_t fileOffset = 0;
    uint64_t baseSize = 0;
};

// One entry of the full package, in its order: the file that holds its bytes, and its pieces
// with a base (sorted, not overlapping; the bytes between them go whole).
struct DeltaEntryPlan {
    std::string zipName;
    std::string source;
    std::vector<BasePiece> pieces;
};

struct DeltaBuildResult {
    uint64_t bytes = 0;
    int patched = 0;  // pieces sent as patches
    int whole = 0;    // pieces that went whole, as a patch would not have paid
};

// Bases above this go whole: the decompressor's window reaches 2 GiB at most, and patches
// against bases near that size compress badly.
constexpr uint64_t kMaxBaseBytes = uint64_t{1} << 30;
// Pieces below this go whole: a patch saves little there.
constexpr uint64_t kMinPatchedBytes = 4096;

// Writes the delta for fullPackage to deltaPath; workDir holds its temporary payload file.
bool WriteDeltaPackage(const std::string& fullPackage, const std::vector<DeltaEntryPlan>& plan,
                       const std::string& workDir, const std::string& deltaPath,
                       DeltaBuildResult& result, std::string& error);

}  // namespace korvun::tool
