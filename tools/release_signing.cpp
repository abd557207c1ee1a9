#include "release_signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "delta/delta_format.h"
#include "platform/file_io.h"
#include "tool_support.h"
#include "trust/release_manifest.h"

namespace korvun::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUpdaterPaths[] = {"Korvun/new_updater.exe", "Korvun/test_updater.exe"};

ReleaseResult Refused(std::string error) {
    ReleaseResult result;
    result.status = kReleaseRefused;
    result.error = std::move(error);
    return result;
}

std::string ReadFileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    std::optional<uint64_t> size = FileSize(path);
    if (!size || *size > kMaxManifestBytes) {
        error = path + (size ? " is too large" : " cannot be read");
        return std::nullopt;
    }
    return ReadFileContent(path);
}

// Creates path with mode and writes content; refuses to replace an existing file.
bool WriteNewFile(const std::string& path, const std::string& content, mode_t mode,
                  std::string& error) {
    // Its own open: a key must not replace a file, and a secret key is made private.
    FileHandle file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!file.IsOpen()) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool written = WriteFull(file.Get(), content.data(), content.size()) && SyncFile(file.Get()) &&
                   file.Close();
    if (!written) error = "cannot write " + path + ": " + std::strerror(errno);
    return written;
}

// The serial grows with every signing, also when the old signature was deleted: it is never
// below the current time, so a client that accepted an earlier release takes this one.
uint64_t NextSerial(const std::string& root, int64_t now) {
    uint64_t next = static_cast<uint64_t>(std::max<int64_t>(now, 1));
    std::string signature = ReadFileContent(root + "/" + kManifestSignaturePath);
    if (std::optional<MinisignSignature> previous = ParseSignature(signature, nullptr)) {
        if (std::optional<ReleaseStamp> stamp = ParseReleaseStamp(previous->trustedComment)) {
            next = std::max(next, stamp->serial + 1);
        }
    }
    return next;
}

std::string ExpiryText(int64_t expires) {
    std::time_t time = static_cast<std::time_t>(expires);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &utc);
    return text;
}

}  // namespace

std::vector<std::string> PublishedPaths(const std::string& root) {
    std::vector<std::string> paths = {"patch/UpdateVersion.ini"};
    std::map<uint32_t, std::string> packages;
    std::error_code failure;
    for (const auto& item : fs::directory_iterator(root + "/patch/patch", failure)) {
        std::string name = item.path().filename().string();
        if (std::optional<uint32_t> number = PackageNumberFromName(name)) {
            packages[*number] = "patch/patch/" + name;
        }
    }
    for (const auto& [number, path] : packages) {
        paths.push_back(path);
        // A delta package is listed with its package, so that clients can check it too.
        std::string deltaPath = "patch/patch/" + delta::DeltaFileName(number);
        if (::access((root + "/" + deltaPath).c_str(), F_OK) == 0) paths.push_back(deltaPath);
    }
    for (const char* updater : kUpdaterPaths) {
        if (::access((root + "/" + updater).c_str(), F_OK) == 0) paths.push_back(updater);
    }
    return paths;
}

std::optional<MinisignSecretKey> ReadSecretKey(const std::string& keyFile, std::string& error) {
    std::optional<std::string> keyText = ReadWholeFile(keyFile, error);
    if (!keyText) return std::nullopt;
    std::optional<MinisignSecretKey> key = ParseSecretKey(*keyText, &error);
    if (!key && ParsePublicKey(*keyText, nullptr)) {
        error = keyFile + ": this is a public key; sign with the secret key (release.key)";
    } else if (!key) {
        error = keyFile + ": " + error;
    }
    return key;
}

ReleaseResult GenerateReleaseKey(const std::string& dir) {
    std::error_code failure;
    fs::create_directories(dir, failure);
    if (failure) return Refused("cannot create " + dir + ": " + failure.message());
    std::string keyFile = dir + "/release.key";
    std::string publicFile = dir + "/release.pub";
    for (const std::string& path : {keyFile, publicFile}) {
        if (::access(path.c_str(), F_OK) == 0) {
            return Refused(path + " exists; a release key is never overwritten");
        }
    }
    MinisignKeyPair pair = GenerateKeyPair();
    std::string error;
    if (!WriteNewFile(keyFile, FormatSecretKeyFile(pair.secretKey), 0600, error) ||
        !WriteNewFile(publicFile, FormatPublicKeyFile(pair.publicKey), 0644, error)) {
        return Refused(error);
    }
    SyncParentDirectory(keyFile);
    ReleaseResult result;
    result.notes.push_back("wrote " + keyFile + " (secret: keep it off the server) and " +
                           publicFile);
    result.notes.push_back(
        "key id " + KeyIdText(pair.publicKey.keyId) +
        "; build clients with -DKORVUN_RELEASE_PUBLIC_KEY=" + PublicKeyLine(pair.publicKey));
    return result;
}

ReleaseResult SignRelease(const std::string& root, const std::string& keyFile, unsigned days) {
    if (days == 0) return Refused("--expires must be 1 day or more");
    std::string error;
    std::optional<MinisignSecretKey> key = ReadSecretKey(keyFile, error);
    if (!key) return Refused(error);
    if (std::optional<ReleaseState> state = ReadReleaseState(root, error); !state) {
        return Refused(error);
    }

    std::vector<ManifestEntry> entries;
    for (const std::string& path : PublishedPaths(root)) {
        std::optional<FileDigest> digest = DigestFile(root + "/" + path);
        if (!digest) return Refused(root + "/" + path + " cannot be read");
        entries.push_back({path, digest->size, digest->sha256});
    }
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    ReleaseStamp stamp{NextSerial(root, now), now + static_cast<int64_t>(days) * 86400};
    std::string manifest = FormatManifest(entries);
    MinisignSignature signature = SignMessage(*key, manifest, FormatReleaseStamp(stamp),
                                              "signature from korvun-tool secret key");
    if (!WriteFileAtomically(root + "/" + kManifestPath, manifest, error) ||
        !WriteFileAtomically(root + "/" + kManifestSignaturePath, FormatSignatureFile(signature),
                             error)) {
        return Refused(error);
    }
    ReleaseResult result;
    result.notes.push_back("signed " + std::to_string(entries.size()) + " files in " + root + "/" +
                           kManifestPath + " with key " + KeyIdText(key->keyId) + ": serial " +
                           std::to_string(stamp.serial) + ", expires " + ExpiryText(stamp.expires));
    return result;
}

ReleaseResult VerifyRelease(const std::string& root, const std::string& publicKeyFile) {
    std::string error;
    std::optional<std::string> keyText = ReadWholeFile(publicKeyFile, error);
    if (!keyText) return Refused(error);
    std::optional<MinisignPublicKey> key = ParsePublicKey(*keyText, &error);
    if (!key && ParseSecretKey(*keyText, nullptr)) {
        return Refused(publicKeyFile +
                       ": this is a secret key; verify with the public key (release.pub)");
    }
    if (!key) return Refused(publicKeyFile + ": " + error);
    std::optional<std::string> manifest = ReadWholeFile(root + "/" + kManifestPath, error);
    std::optional<std::string> signature =
        manifest ? ReadWholeFile(root + "/" + kManifestSignaturePath, error) : std::nullopt;
    if (!signature) return Refused(error + "; sign the release with `release sign`");

    int64_t now = static_cast<int64_t>(std::time(nullptr));
    VerifiedRelease release = korvun::VerifyRelease(*key, *manifest, *signature, now, 0);
    if (release.status != ReleaseCheck::Valid) {
        return Refused("the release signature does not hold: " + release.detail);
    }
    ReleaseResult result;
    result.signature = ReleaseResult::Signature{KeyIdText(key->keyId), release.stamp.serial,
                                                release.stamp.expires};
    result.notes.push_back("signature by key " + KeyIdText(key->keyId) + " holds: serial " +
                           std::to_string(release.stamp.serial) + ", expires " +
                           ExpiryText(release.stamp.expires));
    std::vector<std::string> problems;
    for (const ManifestEntry& entry : release.entries) {
        std::optional<FileDigest> digest = DigestFile(root + "/" + entry.path);
        if (!digest) {
            problems.push_back(entry.path + " is listed but cannot be read");
        } else if (digest->size != entry.size || digest->sha256 != entry.sha256) {
            problems.push_back(entry.path + " differs from the signed size or SHA-256");
        } else {
            result.notes.push_back("OK " + entry.path);
            result.matched.push_back(entry.path);
        }
    }
    for (const std::string& path : PublishedPaths(root)) {
        if (!FindEntry(release.entries, path)) {
            problems.push_back(path + " is published but not signed; clients refuse it");
        }
    }
    result.problems = problems;
    if (!problems.empty()) {
        result.status = kReleaseRefused;
        result.error = problems.front();
        for (size_t i = 1; i < problems.size(); ++i) result.error += "\nrelease: " + problems[i];
    }
    return result;
}

void SignAfterChange(const std::string& root, const std::optional<std::string>& keyFile,
                     unsigned days, ReleaseResult& result) {
    if (result.status != kReleaseDone) return;
    if (keyFile) {
        ReleaseResult signing = SignRelease(root, *keyFile, days);
        result.notes.insert(result.notes.end(), signing.notes.begin(), signing.notes.end());
        result.status = signing.status;
        result.error = signing.error;
        return;
    }
    if (!result.unchanged && ::access((root + "/" + kManifestSignaturePath).c_str(), F_OK) == 0) {
        result.notes.push_back(
            "the release signature is now stale: clients with a built-in key refuse this "
            "server until `korvun-tool release sign " +
            root + " --key KEY` has run");
    }
}

}  // namespace korvun::tool
