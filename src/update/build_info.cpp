#include "update/build_info.h"

#include <vector>

#include "update/release_verification.h"
#include "update/server_address.h"

#ifndef KORVUN_PRODUCT_NAME
#define KORVUN_PRODUCT_NAME ""
#endif
#ifndef KORVUN_UPDATER_VERSION
#define KORVUN_UPDATER_VERSION ""
#endif

namespace korvun {

namespace {

constexpr std::string_view kMarkerPrefix = "korvun-updater-version=";
// The largest UpdaterVersion a server can announce (it is read as a signed 32-bit number).
constexpr uint64_t kLargestUpdaterVersion = 2147483647;

}  // namespace

// Kept with external linkage so that it stays in the program file as it is: korvun-tool reads
// the version of an updater it publishes from there instead of trusting the operator's word.
// A build without an own version carries the prefix alone, which is no marker.
extern const char kUpdaterVersionMarker[];
const char kUpdaterVersionMarker[] = "korvun-updater-version=" KORVUN_UPDATER_VERSION;

const char* UpdaterVersion() { return KORVUN_VERSION; }

std::optional<uint32_t> OwnUpdaterVersion() {
    return FindUpdaterVersionMarker(
        std::string_view(kUpdaterVersionMarker, sizeof(kUpdaterVersionMarker)));
}

std::optional<uint32_t> FindUpdaterVersionMarker(std::string_view bytes) {
    for (size_t at = bytes.find(kMarkerPrefix); at != std::string_view::npos;
         at = bytes.find(kMarkerPrefix, at + 1)) {
        // A marker is digits ended by the string's terminator; anything else (a program that
        // merely searches for the prefix, as korvun-tool does) is not one.
        size_t pos = at + kMarkerPrefix.size();
        uint64_t value = 0;
        size_t digits = 0;
        while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9' && digits < 11) {
            value = value * 10 + static_cast<uint64_t>(bytes[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits > 0 && pos < bytes.size() && bytes[pos] == '\0' &&
            value <= kLargestUpdaterVersion) {
            return static_cast<uint32_t>(value);
        }
    }
    return std::nullopt;
}

std::string ProductHeading() {
    std::string product = KORVUN_PRODUCT_NAME;
    return product.empty() ? product : product + ": the game client's updater\n\n";
}

std::string BuildInfoText(const std::string& program, const std::string& keyLine) {
    std::optional<MinisignPublicKey> key = BuiltInReleaseKey(keyLine);
    std::string text = program + " " + UpdaterVersion() + "\n";
    text += "Release key: " + (key ? KeyIdText(key->keyId) : std::string("none")) + "\n";
    text += "Default server: " + DefaultServerAddress();
    for (const std::string& mirror : DefaultMirrors()) text += ", mirror " + mirror;
    text += "\n";
    if (std::optional<uint32_t> own = OwnUpdaterVersion()) {
        text += "Updater version: " + std::to_string(*own) +
                " (hands over only to an UpdaterVersion above it)\n";
    }
    return text;
}

}  // namespace korvun
