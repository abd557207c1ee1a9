// The names of the patch packages: as a client keeps them in its directory, and where a
// release publishes them below the server's root (also their name in the signed manifest).
// The operator's tool builds and checks releases with the same names.
#pragma once

#include <cstdint>
#include <string>

namespace korvun {

// "pk%.4u.patch": at least four digits, zero-padded.
std::string PatchFileName(uint32_t version);
// "patch/patch/" followed by PatchFileName(version).
std::string PackagePath(uint32_t version);

}  // namespace korvun
