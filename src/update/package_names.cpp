#include "update/package_names.h"

#include <cstdio>

namespace korvun {

std::string PatchFileName(uint32_t version) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%.4u.patch", version);
    return name;
}

std::string PackagePath(uint32_t version) { return "patch/patch/" + PatchFileName(version); }

}  // namespace korvun
