#include "trust/minisign.h"

#include <sodium.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "trust/sodium_init.h"

namespace korvun {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr char kLegacyAlgorithm[2] = {'E', 'd'};
constexpr char kPrehashedAlgorithm[2] = {'E', 'D'};
constexpr char kNoKdf[2] = {0, 0};
constexpr char kChecksumAlgorithm[2] = {'B', '2'};
// minisign refuses longer comments; so do we, for the same files to work both ways.
constexpr size_t kMaxCommentBytes = 1024;

constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;

// The text split into lines without their line ends ("\n" or "\r\n").
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text, size_t expected) {
    std::vector<uint8_t> bytes(expected + 3);
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size() || length != expected) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

std::string EncodeBase64(const uint8_t* data, size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

// The lines of a key file: an untrusted comment line, then the key line. A bare key line is
// taken as well, since that is how a key is given on a command line.
std::optional<std::string_view> KeyLine(std::string_view text, std::string* error) {
    std::vector<std::string_view> lines = Lines(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() == 1) return lines[0];
    if (lines.size() == 2 && lines[0].substr(0, kUntrustedPrefix.size()) == kUntrustedPrefix) {
        return lines[1];
    }
    Fail(error, "not a minisign key file (an \"untrusted comment:\" line, then the key)");
    return std::nullopt;
}

void Checksum(const MinisignSecretKey& key, uint8_t out[32]) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>(kLegacyAlgorithm), 2);
    crypto_generichash_update(&state, key.keyId.data(), key.keyId.size());
    crypto_generichash_update(&state, key.key.data(), key.key.size());
    crypto_generichash_final(&state, out, 32);
}

// An Ed25519 secret key is its seed followed by the public key made from that seed.
bool IsConsistent(const MinisignSecretKey& key) {
    uint8_t publicKey[32];
    uint8_t secretKey[64];
    crypto_sign_seed_keypair(publicKey, secretKey, key.key.data());
    bool same = sodium_memcmp(secretKey, key.key.data(), sizeof secretKey) == 0;
    sodium_memzero(secretKey, sizeof secretKey);
    return same;
}

std::array<uint8_t, 64> Blake2b512(std::string_view message) {
    std::array<uint8_t, 64> hash;
    crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const uint8_t*>(message.data()),
                       message.size(), nullptr, 0);
    return hash;
}

// The global signature covers the message signature followed by the trusted comment.
std::vector<uint8_t> GlobalMessage(const MinisignSignature& signature) {
    std::vector<uint8_t> message(signature.signature.begin(), signature.signature.end());
    message.insert(message.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    return message;
}

bool IsOneLine(const std::string& comment) {
    return comment.size() <= kMaxCommentBytes && comment.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::string KeyIdText(const MinisignKeyId& keyId) {
    uint64_t value = 0;
    for (size_t i = keyId.size(); i > 0; --i) value = value << 8 | keyId[i - 1];
    char text[17];
    std::snprintf(text, sizeof text, "%" PRIX64, value);
    return text;
}

std::optional<MinisignPublicKey> ParsePublicKey(std::string_view text, std::string* error) {
    EnsureSodium();
    std::optional<std::string_view> line = KeyLine(text, error);
    if (!line) return std::nullopt;
    std::optional<std::vector<uint8_t>> bytes = DecodeBase64(*line, kPublicKeyBytes);
    if (!bytes) {
        Fail(error, "the public key is not base64 of 42 bytes");
        return std::nullopt;
    }
    if (std::memcmp(bytes->data(), kLegacyAlgorithm, 2) != 0) {
        Fail(error, "the public key is not an Ed25519 key");
        return std::nullopt;
    }
    MinisignPublicKey key;
    std::memcpy(key.keyId.data(), bytes->data() + 2, key.keyId.size());
    std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
    return key;
}

std::optional<MinisignSecretKey> ParseSecretKey(std::string_view text, std::string* error) {
    EnsureSodium();
    std::optional<std::string_view> line = KeyLine(text, error);
    if (!line) return std::nullopt;
    std::optional<std::vector<uint8_t>> bytes = DecodeBase64(*line, kSecretKeyBytes);
    if (!bytes) {
        Fail(error, "the secret key is not base64 of 158 bytes");
        return std::nullopt;
    }
    const uint8_t* p = bytes->data();
    if (std::memcmp(p, kLegacyAlgorithm, 2) != 0 || std::memcmp(p + 4, kChecksumAlgorithm, 2)) {
        Fail(error, "the secret key is not a minisign Ed25519 key");
        return std::nullopt;
    }
    if (std::memcmp(p + 2, kNoKdf, 2) != 0) {
        Fail(error,
             "the secret key is protected by a password; remove it with `minisign -C -W` "
             "(keep the key file itself safe instead)");
        return std::nullopt;
    }
    MinisignSecretKey key;
    p += 2 + 2 + 2 + 32 + 8 + 8;
    std::memcpy(key.keyId.data(), p, key.keyId.size());
    std::memcpy(key.key.data(), p + 8, key.key.size());
    // minisign leaves the checksum zero in password-less keys; when there is one, it must
    // match, and in either case the key's public half must belong to its seed.
    uint8_t checksum[32];
    Checksum(key, checksum);
    const uint8_t* stored = p + 8 + 64;
    bool checksumOk = sodium_is_zero(stored, 32) || sodium_memcmp(checksum, stored, 32) == 0;
    if (!checksumOk || !IsConsistent(key)) {
        sodium_memzero(key.key.data(), key.key.size());
        sodium_memzero(bytes->data(), bytes->size());
        Fail(error, "the secret key is damaged (its checksum does not match)");
        return std::nullopt;
    }
    sodium_memzero(bytes->data(), bytes->size());
    return key;
}

std::optional<MinisignSignature> ParseSignature(std::string_view text, std::string* error) {
    EnsureSodium();
    std::vector<std::string_view> lines = Lines(text);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() != 4 || lines[0].substr(0, kUntrustedPrefix.size()) != kUntrustedPrefix ||
        lines[2].substr(0, kTrustedPrefix.size()) != kTrustedPrefix) {
        Fail(error, "not a minisign signature file (four lines with the two comments)");
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> bytes = DecodeBase64(lines[1], kSignatureBytes);
    std::optional<std::vector<uint8_t>> global = DecodeBase64(lines[3], 64);
    if (!bytes || !global) {
        Fail(error, "the signature is not base64 of the right length");
        return std::nullopt;
    }
    MinisignSignature signature;
    if (std::memcmp(bytes->data(), kLegacyAlgorithm, 2) == 0) {
        signature.algorithm = SignatureAlgorithm::Legacy;
    } else if (std::memcmp(bytes->data(), kPrehashedAlgorithm, 2) == 0) {
        signature.algorithm = SignatureAlgorithm::Prehashed;
    } else {
        Fail(error, "the signature uses an unknown algorithm");
        return std::nullopt;
    }
    std::memcpy(signature.keyId.data(), bytes->data() + 2, signature.keyId.size());
    std::memcpy(signature.signature.data(), bytes->data() + 10, signature.signature.size());
    std::memcpy(signature.globalSignature.data(), global->data(), global->size());
    signature.untrustedComment = std::string(lines[0].substr(kUntrustedPrefix.size()));
    // The trusted comment is signed byte for byte: only the line end is not part of it.
    signature.trustedComment = std::string(lines[2].substr(kTrustedPrefix.size()));
    return signature;
}

std::string PublicKeyLine(const MinisignPublicKey& key) {
    uint8_t bytes[kPublicKeyBytes];
    std::memcpy(bytes, kLegacyAlgorithm, 2);
    std::memcpy(bytes + 2, key.keyId.data(), key.keyId.size());
    std::memcpy(bytes + 10, key.key.data(), key.key.size());
    return EncodeBase64(bytes, sizeof bytes);
}

std::string FormatPublicKeyFile(const MinisignPublicKey& key) {
    return std::string(kUntrustedPrefix) + "minisign public key " + KeyIdText(key.keyId) + "\n" +
           PublicKeyLine(key) + "\n";
}

std::string FormatSecretKeyFile(const MinisignSecretKey& key) {
    uint8_t bytes[kSecretKeyBytes] = {};
    uint8_t* p = bytes;
    std::memcpy(p, kLegacyAlgorithm, 2);
    std::memcpy(p + 2, kNoKdf, 2);
    std::memcpy(p + 4, kChecksumAlgorithm, 2);
    p += 2 + 2 + 2 + 32 + 8 + 8;  // salt and limits stay zero: nothing is derived
    std::memcpy(p, key.keyId.data(), key.keyId.size());
    std::memcpy(p + 8, key.key.data(), key.key.size());
    Checksum(key, p + 8 + 64);
    std::string text = std::string(kUntrustedPrefix) + "minisign encrypted secret key\n" +
                       EncodeBase64(bytes, sizeof bytes) + "\n";
    sodium_memzero(bytes, sizeof bytes);
    return text;
}

std::string FormatSignatureFile(const MinisignSignature& signature) {
    uint8_t bytes[kSignatureBytes];
    std::memcpy(
        bytes,
        signature.algorithm == SignatureAlgorithm::Legacy ? kLegacyAlgorithm : kPrehashedAlgorithm,
        2);
    std::memcpy(bytes + 2, signature.keyId.data(), signature.keyId.size());
    std::memcpy(bytes + 10, signature.signature.data(), signature.signature.size());
    return std::string(kUntrustedPrefix) + signature.untrustedComment + "\n" +
           EncodeBase64(bytes, sizeof bytes) + "\n" + std::string(kTrustedPrefix) +
           signature.trustedComment + "\n" +
           EncodeBase64(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}

MinisignKeyPair GenerateKeyPair() {
    EnsureSodium();
    MinisignKeyPair pair;
    randombytes_buf(pair.secretKey.keyId.data(), pair.secretKey.keyId.size());
    crypto_sign_keypair(pair.publicKey.key.data(), pair.secretKey.key.data());
    pair.publicKey.keyId = pair.secretKey.keyId;
    return pair;
}

MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key) {
    MinisignPublicKey publicKey;
    publicKey.keyId = key.keyId;
    crypto_sign_ed25519_sk_to_pk(publicKey.key.data(), key.key.data());
    return publicKey;
}

MinisignSignature SignMessage(const MinisignSecretKey& key, std::string_view message,
                              const std::string& trustedComment,
                              const std::string& untrustedComment) {
    EnsureSodium();
    MinisignSignature signature;
    signature.algorithm = SignatureAlgorithm::Prehashed;
    signature.keyId = key.keyId;
    signature.untrustedComment = IsOneLine(untrustedComment) ? untrustedComment : "";
    signature.trustedComment = IsOneLine(trustedComment) ? trustedComment : "";
    std::array<uint8_t, 64> hash = Blake2b512(message);
    crypto_sign_detached(signature.signature.data(), nullptr, hash.data(), hash.size(),
                         key.key.data());
    std::vector<uint8_t> global = GlobalMessage(signature);
    crypto_sign_detached(signature.globalSignature.data(), nullptr, global.data(), global.size(),
                         key.key.data());
    return signature;
}

SignatureCheck VerifyMessage(const MinisignPublicKey& key, const MinisignSignature& signature,
                             std::string_view message) {
    EnsureSodium();
    if (signature.keyId != key.keyId) return SignatureCheck::OtherKey;
    int verified;
    if (signature.algorithm == SignatureAlgorithm::Prehashed) {
        std::array<uint8_t, 64> hash = Blake2b512(message);
        verified = crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(),
                                               key.key.data());
    } else {
        verified = crypto_sign_verify_detached(signature.signature.data(),
                                               reinterpret_cast<const uint8_t*>(message.data()),
                                               message.size(), key.key.data());
    }
    if (verified != 0) return SignatureCheck::Invalid;
    std::vector<uint8_t> global = GlobalMessage(signature);
    if (crypto_sign_verify_detached(signature.globalSignature.data(), global.data(), global.size(),
                                    key.key.data()) != 0) {
        return SignatureCheck::Invalid;
    }
    return SignatureCheck::Valid;
}

}  // namespace korvun
