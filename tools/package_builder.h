// Builds patch package N from two complete client trees (see client_tree.h): the loose files
// added or changed, an update archive with the archive entries added or changed, and the
// deletion list. The result is read back with the updater's package reader before it counts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvun::tool {

struct PackageBuildOptions {
    std::string from;    // the tree clients have at version number - 1
    std::string to;      // the tree they should have after this package
    std::string outDir;  // where pk%.4u.patch is written
    uint32_t number = 0;
    // Package number - 1, whose deletion list this one repeats. Empty: pk(number-1).patch in
    // outDir when it is there.
    std::string previous;
    // Write a package even when the trees hold the same content for the updater.
    bool allowEmpty = false;
    // Write a package even when the new tree's Version.ini names an older version than the
    // old tree's.
    bool allowDowngrade = false;
    // Also write pk%.4u.delta beside the package, when it pays (delta_builder.h).
    bool delta = false;
    // Progress of long work on standard error (off for --json).
    bool showProgress = true;
};

struct PackageBuildReport {
    std::vector<std::string> addedLoose, changedLoose, deletedLoose;
    std::vector<std::string> addedEntries, changedEntries, deletedEntries, carriedDeletions;
    bool headerChanged = false;
    std::vector<std::string> warnings;
    std::string packagePath;
    uint64_t packageBytes = 0;
    int deflated = 0;
    int stored = 0;
    // With PackageBuildOptions::delta: the delta written ("" when none), or why none was.
    std::string deltaPath;
    uint64_t deltaBytes = 0;
    int deltaPatched = 0;
    int deltaWhole = 0;
    std::string deltaSkipped;
};

// Exit statuses of package build.
enum BuildStatus { kBuildWritten = 0, kBuildRefused = 1, kBuildUnreadable = 2 };

// Compares the trees and writes the package. On kBuildRefused or kBuildUnreadable, error says
// why and nothing is left in outDir.
BuildStatus BuildPackage(const PackageBuildOptions& options, PackageBuildReport& report,
                         std::string& error);

// "pk%.4u.patch"
std::string PackageFileName(uint32_t number);

}  // namespace korvun::tool
