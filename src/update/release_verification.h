// What a client with a built-in release key checks before it trusts anything a server sends:
// the signed release manifest (signature, expiry, serial), and every download against the
// size and SHA-256 the manifest gives for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/client_directory.h"
#include "platform/inet.h"
#include "trust/release_manifest.h"

namespace korvun {

// KORVUN_RELEASE_PUBLIC_KEY as the library was built: "" when no key was given.
const char* CompiledReleaseKey();

// The key a program was built with (the base64 key line of a minisign public key); nullopt
// for an empty line. A line that is not a key gives a key that verifies nothing, so that a
// damaged build refuses every release instead of checking none.
std::optional<MinisignPublicKey> BuiltInReleaseKey(const std::string& keyLine);

// ReleaseSerial of [Version] in .\Version.ini: the highest serial this client has accepted.
uint64_t ReadReleaseSerial(const ClientDirectory& client);
bool SaveReleaseSerial(const ClientDirectory& client, uint64_t serial);

// Where a file a client fetches stands in the manifest: "patch/patch/pk0002.patch".
std::string SignedPackagePath(uint32_t version);
constexpr const char* kSignedVersionFilePath = "patch/UpdateVersion.ini";

// The message (text and code) a refused release ends the run with.
std::string ReleaseRefusalMessage(ReleaseCheck check);
// A manifest or signature that could not be fetched at all.
std::string ReleaseUnavailableMessage();
// A download the manifest does not list, whose size differs, or whose bytes differ.
std::string UnsignedFileMessage(const std::string& localName);
std::string SignedSizeMessage(const std::string& localName);
std::string SignedChecksumMessage(const std::string& localName);
// A package the manifest lists that no server has.
std::string MissingSignedFileMessage(const std::string& localName);

// The manifest a run accepted.
class SignedRelease {
  public:
    // The accepted serial is kept in client's Version.ini.
    SignedRelease(const MinisignPublicKey& key, ClientDirectory client)
        : key_(key), client_(std::move(client)) {}

    // Judges the fetched patch/release.manifest and its signature; on acceptance records a
    // higher serial in Version.ini. On refusal, message holds what the run ends with.
    bool Accept(const std::string& manifest, const std::string& signature, std::string* message);

    const ManifestEntry* Find(const std::string& path) const { return FindEntry(entries_, path); }
    uint64_t Serial() const { return serial_; }

  private:
    MinisignPublicKey key_;
    ClientDirectory client_;
    std::vector<ManifestEntry> entries_;
    uint64_t serial_ = 0;
};

// Reads a small file (the manifest, its signature) whole into body; an empty body for an
// announced length of 0. False with error set when the transfer failed; false with
// error.code 0 when the answer is no success (*status holds its status, an error page's body
// is not read) or the file is longer than kMaxManifestBytes.
bool FetchSmallFile(InternetSession& session, const std::string& url, std::string* body,
                    InternetError* error, long* status);

}  // namespace korvun
