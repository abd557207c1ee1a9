#include "update/version_file.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <optional>

#include "platform/file_io.h"
#include "platform/profile.h"

namespace korvun {

namespace {

constexpr const char* kSection = "Version";
constexpr const char* kServerVersionPath = ".\\UpdateVersion.ini";
constexpr const char* kOverridePath = ".\\UpdateVersion-tov-.ini";

// An empty value counts as absent, as it does for GetPrivateProfileString with "" default.
std::optional<std::string> ReadValue(const ClientDirectory& client, const char* key,
                                     const char* file) {
    std::string value = ReadProfileString(kSection, key, "", client.Path(file));
    if (value.empty()) return std::nullopt;
    return value;
}

// The server's value of key, replaced by the override's when the override file exists and
// holds the key. The override cannot supply a key that the server file lacks.
std::optional<int32_t> ReadServerValue(const ClientDirectory& client, const char* key,
                                       bool overridePresent) {
    std::optional<std::string> value = ReadValue(client, key, kServerVersionPath);
    if (!value) return std::nullopt;
    if (overridePresent) {
        if (std::optional<std::string> replaced = ReadValue(client, key, kOverridePath))
            value = replaced;
    }
    return ParseDecimal(*value);
}

// ASCII letters compare without case; every other byte as it is (strcasecmp in the C locale).
bool EqualsNoCase(const std::string& a, const char* b) {
    auto lower = [](unsigned char c) { return std::tolower(c); };
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

bool RejectServerFile(const ClientDirectory& client) {
    DeleteFile(client.Path(kServerVersionFile));
    return false;
}

}  // namespace

int32_t ParseDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(value);
}

bool IsLocalCheckVersionValid(const ClientDirectory& client) {
    std::optional<std::string> value = ReadValue(client, "CheckVersion", kLocalVersionFile);
    return value && ParseDecimal(*value) == kSupportedCheckVersion;
}

bool ReadLocalVersion(const ClientDirectory& client, VersionNumbers* versions) {
    std::optional<std::string> current = ReadValue(client, "CurrentVersion", kLocalVersionFile);
    if (!current) {
        // A file that exists but could not be read has not lost its key: writing "0" over
        // it would turn a passing read error into a client that must be reinstalled.
        bool unreadable = errno != 0 && errno != ENOENT;
        versions->baseVersion = versions->currentVersion = 0;
        if (!unreadable) {
            WriteProfileString(kSection, "CurrentVersion", "0", client.Path(kLocalVersionFile));
        }
        return true;
    }
    versions->baseVersion = versions->currentVersion =
        static_cast<uint32_t>(ParseDecimal(*current));

    std::optional<std::string> marker = ReadValue(client, "StartUpdate", kLocalVersionFile);
    if (!marker) return true;
    if (EqualsNoCase(*marker, "UPDATE_START")) {
        // The archive may be half changed: treat the client as damaged, keep the file as is.
        versions->baseVersion = versions->currentVersion = 0;
        return true;
    }
    if (EqualsNoCase(*marker, "EXTRACT_START") || EqualsNoCase(*marker, "FILE_SIZE_ERR")) {
        WriteStateMarker(client, "");
    }
    return true;
}

bool SaveCurrentVersion(const ClientDirectory& client, uint32_t currentVersion) {
    return WriteProfileString(kSection, "CurrentVersion", std::to_string(currentVersion),
                              client.Path(kLocalVersionFile));
}

bool ParseVersionFile(const ClientDirectory& client, VersionNumbers* versions,
                      std::atomic<bool>* replaceUpdater) {
    // A real version file holds a few short lines; anything far larger is not one, and reading
    // it would only cost memory.
    std::optional<uint64_t> size = FileSize(client.Path(kServerVersionPath));
    if (size && *size > kMaxServerVersionFileSize) return RejectServerFile(client);
    bool overridePresent = FileExists(client.Path(kVersionOverrideFile));

    versions->serverCheckVersion = 0;
    if (std::optional<int32_t> check = ReadServerValue(client, "CheckVersion", overridePresent)) {
        versions->serverCheckVersion = *check;
    } else if (errno != 0) {
        // An absent CheckVersion means 0 and ends the run as completed; a file that could not
        // be read says nothing, and must not end it that way.
        return RejectServerFile(client);
    }

    std::optional<int32_t> updater = ReadServerValue(client, "UpdaterVersion", overridePresent);
    if (!updater) return RejectServerFile(client);
    versions->updaterVersion = static_cast<uint32_t>(*updater);
    if (versions->updaterVersion > kNewestUpdaterVersion) *replaceUpdater = true;

    // Without a usable positive target the file says nothing about the release; read as 0 it
    // would declare every installed client damaged.
    std::optional<int32_t> target = ReadServerValue(client, "PatchFileVersion", overridePresent);
    if (!target || *target <= 0) return RejectServerFile(client);
    versions->targetVersion = static_cast<uint32_t>(*target);

    if (versions->baseVersion > versions->targetVersion) {
        versions->baseVersion = versions->currentVersion = versions->targetVersion;
    }
    DeleteFile(client.Path(kServerVersionFile));
    return true;
}

bool WriteStateMarker(const ClientDirectory& client, const std::string& marker) {
    return WriteProfileString(kSection, "StartUpdate", marker, client.Path(kLocalVersionFile));
}

std::string ReadStateMarker(const ClientDirectory& client) {
    return ReadProfileString(kSection, "StartUpdate", "", client.Path(kLocalVersionFile));
}

bool VersionFileMarkers::MarkExtractStart() { return WriteStateMarker(client_, "EXTRACT_START"); }
bool VersionFileMarkers::MarkExtractEnd() { return WriteStateMarker(client_, "EXTRACT_END"); }
bool VersionFileMarkers::MarkUpdateStart() { return WriteStateMarker(client_, "UPDATE_START"); }
bool VersionFileMarkers::MarkUpdateEnd() { return WriteStateMarker(client_, "UPDATE_END"); }
bool VersionFileMarkers::ClearStateMarker() { return WriteStateMarker(client_, ""); }

}  // namespace korvun
