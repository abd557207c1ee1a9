// Keys and signatures in minisign's formats (Ed25519), so that operators can sign and check
// releases with the tool they already know, and this program's files work with it.
//
// Public key file:  "untrusted comment: ..." + base64("Ed" keyid[8] key[32])
// Secret key file:  "untrusted comment: ..." + base64("Ed" kdf[2] "B2" salt[32] ops[8] mem[8]
//                   keyid[8] key[64] checksum[32]); only password-less keys (kdf "\0\0")
// Signature file:   "untrusted comment: ..." + base64(alg[2] keyid[8] signature[64])
//                   "trusted comment: ..." + base64(global signature[64])
// The signature algorithm "Ed" signs the message itself, "ED" its BLAKE2b-512 hash; the
// global signature covers the signature and the trusted comment, so the comment is signed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvun {

using MinisignKeyId = std::array<uint8_t, 8>;

struct MinisignPublicKey {
    MinisignKeyId keyId{};
    std::array<uint8_t, 32> key{};
};

struct MinisignSecretKey {
    MinisignKeyId keyId{};
    std::array<uint8_t, 64> key{};  // Ed25519 seed followed by the public key
};

struct MinisignKeyPair {
    MinisignPublicKey publicKey;
    MinisignSecretKey secretKey;
};

enum class SignatureAlgorithm { Legacy, Prehashed };

struct MinisignSignature {
    SignatureAlgorithm algorithm = SignatureAlgorithm::Prehashed;
    MinisignKeyId keyId{};
    std::array<uint8_t, 64> signature{};
    std::string untrustedComment;
    std::string trustedComment;
    std::array<uint8_t, 64> globalSignature{};
};

enum class SignatureCheck {
    Valid,
    OtherKey,  // made with a key other than the one given
    Invalid,   // the message or the trusted comment is not what was signed
};

// The key id as minisign prints it: upper-case hexadecimal, without leading zeros.
std::string KeyIdText(const MinisignKeyId& keyId);

// A public key file, or only its base64 key line. error says why it was refused.
std::optional<MinisignPublicKey> ParsePublicKey(std::string_view text, std::string* error);
std::optional<MinisignSecretKey> ParseSecretKey(std::string_view text, std::string* error);
std::optional<MinisignSignature> ParseSignature(std::string_view text, std::string* error);

// The base64 key line of a public key (what KORVUN_RELEASE_PUBLIC_KEY takes).
std::string PublicKeyLine(const MinisignPublicKey& key);
std::string FormatPublicKeyFile(const MinisignPublicKey& key);
// A password-less secret key file, as `minisign -G -W` writes it.
std::string FormatSecretKeyFile(const MinisignSecretKey& key);
std::string FormatSignatureFile(const MinisignSignature& signature);

MinisignKeyPair GenerateKeyPair();
// The public half of a secret key.
MinisignPublicKey PublicKeyOf(const MinisignSecretKey& key);

// Signs with the prehashed algorithm (minisign's default). The trusted comment is one line.
MinisignSignature SignMessage(const MinisignSecretKey& key, std::string_view message,
                              const std::string& trustedComment,
                              const std::string& untrustedComment);
SignatureCheck VerifyMessage(const MinisignPublicKey& key, const MinisignSignature& signature,
                             std::string_view message);

}  // namespace korvun
