#include "update/build_info.h"

#include <optional>
#include <vector>

#include "update/release_verification.h"
#include "update/server_address.h"

namespace korvun {

const char* UpdaterVersion() { return KORVUN_VERSION; }

std::string BuildInfoText(const std::string& program, const std::string& keyLine) {
    std::optional<MinisignPublicKey> key = BuiltInReleaseKey(keyLine);
    std::string text = program + " " + UpdaterVersion() + "\n";
    text += "Release key: " + (key ? KeyIdText(key->keyId) : std::string("none")) + "\n";
    text += "Default server: " + DefaultServerAddress();
    for (const std::string& mirror : DefaultMirrors()) text += ", mirror " + mirror;
    return text + "\n";
}

}  // namespace korvun
