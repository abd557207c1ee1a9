// Comparing a published mirror with the server tree it should copy: what a client would fetch
// from it (the version file, the signed manifest and its signature, every package and
// updater) must have the size and SHA-256 of the tree's files.
#pragma once

#include <string>

#include "release.h"

namespace korvun::tool {

// mirror is written as a client's server address ("host:port/", "https://host/"). Done (0)
// when the mirror is in step; refused (1) with one line per difference in error; unreadable
// (2) when root is no server tree.
ReleaseResult CheckMirror(const std::string& root, const std::string& mirror);

}  // namespace korvun::tool
