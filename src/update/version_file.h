// The client's state file .\Version.ini, the server's UpdateVersion.ini and the one-run
// override UpdateVersion-tov-.ini, all in the client's directory.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "archive/state_markers.h"
#include "platform/client_directory.h"

namespace korvun {

constexpr const char* kLocalVersionFile = ".\\Version.ini";
constexpr const char* kServerVersionFile = "UpdateVersion.ini";
constexpr const char* kVersionOverrideFile = "UpdateVersion-tov-.ini";
// The only CheckVersion (local and server) with which this updater may patch.
constexpr int32_t kSupportedCheckVersion = 3;
// A server UpdaterVersion above this means the running updater must be replaced.
constexpr uint32_t kNewestUpdaterVersion = 20;

// The largest UpdateVersion.ini the updater reads; a larger one is refused as unreadable.
constexpr uint64_t kMaxServerVersionFileSize = 1 << 20;

// The version numbers of one run.
struct VersionNumbers {
    uint32_t baseVersion = 0;     // CurrentVersion at the start of the run; 0 = missing/damaged
    uint32_t targetVersion = 0;   // the server's PatchFileVersion
    uint32_t currentVersion = 0;  // the package being downloaded or applied, else the base
    uint32_t updaterVersion = 0;  // the server's UpdaterVersion
    int32_t serverCheckVersion = 0;
};

// The runtime's atoi: leading blanks and a sign accepted, stops at the first non-digit,
// 0 without digits; out-of-range values saturate.
int32_t ParseDecimal(const std::string& text);

// True when CheckVersion of .\Version.ini is present and converts to 3.
bool IsLocalCheckVersionValid(const ClientDirectory& client);

// Fills base and current version from CurrentVersion and handles the state marker left by
// an interrupted run. Always true.
bool ReadLocalVersion(const ClientDirectory& client, VersionNumbers* versions);

// Writes currentVersion as CurrentVersion; false when the write failed.
bool SaveCurrentVersion(const ClientDirectory& client, uint32_t currentVersion);

// Reads .\UpdateVersion.ini with the override applied, sets replaceUpdater when the
// updater is outdated, lowers base and current to the target, and deletes
// UpdateVersion.ini whatever the outcome. False when a required key is missing,
// PatchFileVersion is not a positive number, or the file is larger than
// kMaxServerVersionFileSize.
bool ParseVersionFile(const ClientDirectory& client, VersionNumbers* versions,
                      std::atomic<bool>* replaceUpdater);

// Writes marker as StartUpdate durably; false on failure.
bool WriteStateMarker(const ClientDirectory& client, const std::string& marker);
std::string ReadStateMarker(const ClientDirectory& client);

// The StateMarkers the archive and patch code write, over .\Version.ini.
class VersionFileMarkers : public StateMarkers {
  public:
    explicit VersionFileMarkers(ClientDirectory client) : client_(std::move(client)) {}
    bool MarkExtractStart() override;
    bool MarkExtractEnd() override;
    bool MarkUpdateStart() override;
    bool MarkUpdateEnd() override;
    bool ClearStateMarker() override;

  private:
    ClientDirectory client_;
};

}  // namespace korvun
