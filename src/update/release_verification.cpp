#include "update/release_verification.h"

#include <charconv>
#include <ctime>

#include "app/player_codes.h"
#include "platform/profile.h"
#include "update/package_names.h"
#include "update/version_file.h"

#ifndef KORVUN_RELEASE_PUBLIC_KEY
#define KORVUN_RELEASE_PUBLIC_KEY ""
#endif

namespace korvun {

namespace {

constexpr const char* kReleaseSerialKey = "ReleaseSerial";

}  // namespace

const char* CompiledReleaseKey() { return KORVUN_RELEASE_PUBLIC_KEY; }

std::optional<MinisignPublicKey> BuiltInReleaseKey(const std::string& keyLine) {
    if (keyLine.empty()) return std::nullopt;
    std::optional<MinisignPublicKey> key = ParsePublicKey(keyLine, nullptr);
    // An all-zero key with an all-zero id: no signature matches it.
    return key ? key : std::optional<MinisignPublicKey>(MinisignPublicKey{});
}

uint64_t ReadReleaseSerial(const ClientDirectory& client) {
    std::string text =
        ReadProfileString("Version", kReleaseSerialKey, "", client.Path(kLocalVersionFile));
    uint64_t serial = 0;
    std::from_chars(text.data(), text.data() + text.size(), serial);
    return serial;
}

bool SaveReleaseSerial(const ClientDirectory& client, uint64_t serial) {
    return WriteProfileString("Version", kReleaseSerialKey, std::to_string(serial),
                              client.Path(kLocalVersionFile));
}

std::string SignedPackagePath(uint32_t version) { return PackagePath(version); }

std::string ReleaseUnavailableMessage() { return ComposeMessage(PlayerCode::ReleaseUnavailable); }

std::string ReleaseRefusalMessage(ReleaseCheck check) {
    switch (check) {
        case ReleaseCheck::Unreadable:
            return ComposeMessage(PlayerCode::ReleaseSignatureDamaged);
        case ReleaseCheck::OtherKey:
            return ComposeMessage(PlayerCode::ReleaseOtherKey);
        case ReleaseCheck::BadSignature:
            return ComposeMessage(PlayerCode::ReleaseSignatureInvalid);
        case ReleaseCheck::Expired:
            return ComposeMessage(PlayerCode::ReleaseExpired);
        case ReleaseCheck::Rollback:
            return ComposeMessage(PlayerCode::ReleaseOlderThanInstalled);
        case ReleaseCheck::Valid:
            break;
    }
    return {};
}

std::string UnsignedFileMessage(const std::string& localName) {
    return ComposeMessage(PlayerCode::FileNotInRelease, {localName});
}

std::string SignedSizeMessage(const std::string& localName) {
    return ComposeMessage(PlayerCode::SignedSizeWrong, {localName});
}

std::string SignedChecksumMessage(const std::string& localName) {
    return ComposeMessage(PlayerCode::SignedChecksumWrong, {localName});
}

std::string MissingSignedFileMessage(const std::string& localName) {
    return ComposeMessage(PlayerCode::SignedFileNotOnServer, {localName});
}

bool FetchSmallFile(InternetSession& session, const std::string& url, std::string* body,
                    InternetError* error, long* status) {
    body->clear();
    *status = 0;
    std::unique_ptr<InternetFile> file = session.OpenUrl(url, error);
    if (!file) return false;
    *status = file->StatusCode();
    if (*status < 200 || *status > 299) {
        *error = InternetError{};
        return false;
    }
    char buffer[4096];
    for (;;) {
        size_t n = 0;
        if (!file->Read(buffer, sizeof buffer, &n, error)) return false;
        if (n == 0) return true;
        if (body->size() + n > kMaxManifestBytes) {
            *error = InternetError{};
            return false;
        }
        body->append(buffer, n);
    }
}

bool SignedRelease::Accept(const std::string& manifest, const std::string& signature,
                           std::string* message) {
    if (manifest.empty() || signature.empty()) {
        *message = ReleaseUnavailableMessage();
        return false;
    }
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    uint64_t accepted = ReadReleaseSerial(client_);
    VerifiedRelease release = VerifyRelease(key_, manifest, signature, now, accepted);
    if (release.status != ReleaseCheck::Valid) {
        *message = ReleaseRefusalMessage(release.status);
        return false;
    }
    entries_ = std::move(release.entries);
    serial_ = release.stamp.serial;
    if (serial_ > accepted) SaveReleaseSerial(client_, serial_);
    return true;
}

}  // namespace korvun
