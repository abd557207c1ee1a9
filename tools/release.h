// What an update server publishes, kept by the operator's tool: patch/UpdateVersion.ini,
// patch/patch/pk%.4u.patch, Korvun/new_updater.exe and a notice page. Every change is made
// so that a client fetching at any moment sees a consistent server: a package is in place
// before UpdateVersion.ini announces it, and each file appears whole (written beside its
// final name, flushed, then linked or renamed into place).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvun::tool {

// The format of UpdateVersion.ini that this updater patches with.
constexpr int kServerCheckVersion = 3;
// UpdaterVersion values above this make clients fetch a new updater instead of patching.
constexpr uint32_t kUpdaterVersionThreshold = 20;

struct ReleaseState {
    int checkVersion = kServerCheckVersion;
    uint32_t updaterVersion = kUpdaterVersionThreshold;
    uint32_t patchFileVersion = 1;
};

enum ReleaseStatus { kReleaseDone = 0, kReleaseRefused = 1, kReleaseUnreadable = 2 };

// Messages for the operator, one per line; error holds the reason of a refusal.
struct ReleaseResult {
    ReleaseStatus status = kReleaseDone;
    std::vector<std::string> notes;
    std::string error;
    // Set when the command found everything in place and changed nothing on the server.
    bool unchanged = false;
    // What a check found, for --json: the files that hold, and each problem in its own line.
    std::vector<std::string> matched;
    std::vector<std::string> problems;
    // The signature that release verify checked, when it holds.
    struct Signature {
        std::string keyId;
        uint64_t serial = 0;
        int64_t expires = 0;  // seconds since 1970, UTC
    };
    std::optional<Signature> signature;
};

// Reads SERVER_ROOT/patch/UpdateVersion.ini with the updater's own profile reader.
std::optional<ReleaseState> ReadReleaseState(const std::string& root, std::string& error);

// Lays out an empty server whose clients are at version base (their installer's version,
// default 1). On a server laid out already it changes nothing, and refuses when base is given
// and differs from the server's PatchFileVersion.
ReleaseResult InitRelease(const std::string& root, std::optional<uint32_t> base);
// Publishes packages that continue the server's numbering without a gap, then announces the
// newest one. Packages published already with the same content are taken as they are. With
// refuseOnSignedServer, a server whose release is signed is refused before anything changes:
// the caller that signs in the same step, or accepts a stale signature, clears it.
ReleaseResult AddPackages(const std::string& root, const std::vector<std::string>& packages,
                          bool refuseOnSignedServer);
// True when the server at root publishes a signed release manifest (or its signature).
bool IsSignedRelease(const std::string& root);
// Publishes a new updater as Korvun/new_updater.exe and raises UpdaterVersion (to version,
// or one above the current value and at least 21). With test set, publishes
// Korvun/test_updater.exe for testers instead and leaves UpdateVersion.ini alone.
ReleaseResult SetUpdater(const std::string& root, const std::string& file,
                         std::optional<uint32_t> version, bool test);
// Sets UpdaterVersion back to 20, so that clients patch again instead of fetching the updater.
ReleaseResult WithdrawUpdater(const std::string& root);

// The number in a name "pk%.4u.patch" (file name only), or nothing for any other name.
std::optional<uint32_t> PackageNumberFromName(const std::string& fileName);

}  // namespace korvun::tool
