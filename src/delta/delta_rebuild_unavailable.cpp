// The rebuild where the build has no zstd: clients download full packages.
#include "delta/delta_rebuild.h"

namespace korvun::delta {

bool DeltaRebuildAvailable() { return false; }

bool RebuildPackage(const RebuildRequest&, const ClientDirectory&, std::string& error) {
    error = "this build does not rebuild delta packages";
    return false;
}

}  // namespace korvun::delta
