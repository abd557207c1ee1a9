// Generated game releases for the demo and the end-to-end tests: a series of complete client
// trees (loose files + data.kah/data.kaf) in which each version replaces, adds and deletes
// archive entries, brings back entries an earlier version deleted (once in other letter
// case), changes an entry's extraWord and the archive header, and changes and adds loose
// files in nested folders. Loose files are never deleted, since the updater cannot delete
// them. The same options always give the same bytes.
#pragma once

#include <cstdint>
#include <string>

namespace korvun::tool {

struct DemoTreeOptions {
    std::string outDir;        // gets v1, v2, ... vN
    uint32_t versions = 5;     // N, at least 1
    uint32_t entries = 400;    // archive entries of version 1
    uint32_t looseFiles = 40;  // loose files of version 1
    uint32_t bulkBytes = 0;    // when not 0, an incompressible entry of this size replaced in
                               // every version (makes each package at least that large)
    uint32_t seed = 1;
};

// Writes the trees; false with a reason in error.
bool WriteDemoTrees(const DemoTreeOptions& options, std::string& error);

}  // namespace korvun::tool
