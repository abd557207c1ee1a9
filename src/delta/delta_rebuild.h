// Rebuilding a package from its delta and the files of a client at the version before it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/client_directory.h"
#include "platform/stop_event.h"

namespace korvun::delta {

struct RebuildRequest {
    std::string deltaPath;
    std::string outputPath;  // the rebuilt package, created or replaced
    // Answers whether the output's volume has room for that many bytes.
    std::function<bool(uint64_t)> hasFreeSpace;
    const StopEvent* stop = nullptr;
};

// Whether this build can rebuild packages at all.
bool DeltaRebuildAvailable();

// Writes the package the delta stands for: every entry rebuilt from its segments, the bases
// checked first, every entry's size, SHA-256 and CRC-32 checked. False with
// error (the output may be left partial; the caller removes it). Nothing of the client
// changes.
bool RebuildPackage(const RebuildRequest& request, const ClientDirectory& client,
                    std::string& error);

}  // namespace korvun::delta
