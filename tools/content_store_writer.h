// `release store`: publishes a release tree as a content store under
// SERVER_ROOT/patch/content: its blobs (each written once and never changed) and a signed
// content manifest, so that clients can check and mend themselves without a reinstall.
#pragma once

#include <cstdint>
#include <string>

#include "release.h"

namespace korvun::tool {

// Stores the complete client tree of release version, signed with keyFile for days.
ReleaseResult StoreRelease(const std::string& root, const std::string& tree, uint32_t version,
                           const std::string& keyFile, unsigned days);

}  // namespace korvun::tool
