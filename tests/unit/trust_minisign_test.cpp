// minisign's key and signature formats, checked against Debian's minisign both ways.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/nginx_fixture.h"
#include "trust/minisign.h"

namespace korvun {
namespace {

using test::ReadFileBytes;
using test::TempDirectory;
using test::WriteFileBytes;

constexpr const char* kMinisign = "/usr/bin/minisign";

// Runs a shell command quietly; true when it exited with 0.
bool Succeeds(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1 </dev/null").c_str()) == 0;
}

class Minisign : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kMinisign, X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
        WriteFileBytes(File("message"), message_);
    }
    std::string File(const std::string& name) const { return dir_.Path() + "/" + name; }

    TempDirectory dir_{"korvun-minisign"};
    std::string message_ = "serial release text\nwith two lines\n";
};

TEST_F(Minisign, OurKeysAndSignaturesWorkWithMinisign) {
    MinisignKeyPair pair = GenerateKeyPair();
    WriteFileBytes(File("our.pub"), FormatPublicKeyFile(pair.publicKey));
    WriteFileBytes(File("our.key"), FormatSecretKeyFile(pair.secretKey));
    MinisignSignature signature =
        SignMessage(pair.secretKey, message_, "korvun release serial:3 expires:99", "ours");
    WriteFileBytes(File("message.minisig"), FormatSignatureFile(signature));

    std::string verify = std::string(kMinisign) + " -V -q -p " + File("our.pub") + " -m " +
                         File("message") + " -x " + File("message.minisig");
    EXPECT_TRUE(Succeeds(verify));
    // The same key given as the bare line, as KORVUN_RELEASE_PUBLIC_KEY takes it.
    EXPECT_TRUE(Succeeds(std::string(kMinisign) + " -V -q -P " + PublicKeyLine(pair.publicKey) +
                         " -m " + File("message") + " -x " + File("message.minisig")));
    // minisign signs with our password-less secret key, and we verify what it made.
    ASSERT_TRUE(Succeeds(std::string(kMinisign) + " -S -W -s " + File("our.key") + " -m " +
                         File("message") + " -x " + File("theirs.minisig") + " -t 'by minisign'"));
    std::optional<MinisignSignature> theirs =
        ParseSignature(ReadFileBytes(File("theirs.minisig")), nullptr);
    ASSERT_TRUE(theirs);
    EXPECT_EQ(theirs->trustedComment, "by minisign");
    EXPECT_EQ(VerifyMessage(pair.publicKey, *theirs, message_), SignatureCheck::Valid);

    // minisign refuses what we refuse: a changed message and a changed trusted comment.
    WriteFileBytes(File("message"), message_ + "x");
    EXPECT_FALSE(Succeeds(verify));
    WriteFileBytes(File("message"), message_);
    signature.trustedComment = "korvun release serial:4 expires:99";
    WriteFileBytes(File("message.minisig"), FormatSignatureFile(signature));
    EXPECT_FALSE(Succeeds(verify));
    EXPECT_EQ(VerifyMessage(pair.publicKey, signature, message_), SignatureCheck::Invalid);
}

TEST_F(Minisign, MinisignKeysAndBothSignatureAlgorithmsWorkWithUs) {
    ASSERT_TRUE(Succeeds(std::string(kMinisign) + " -G -W -p " + File("their.pub") + " -s " +
                         File("their.key")));
    std::string error;
    std::optional<MinisignPublicKey> publicKey =
        ParsePublicKey(ReadFileBytes(File("their.pub")), &error);
    ASSERT_TRUE(publicKey) << error;
    std::optional<MinisignSecretKey> secretKey =
        ParseSecretKey(ReadFileBytes(File("their.key")), &error);
    ASSERT_TRUE(secretKey) << error;
    EXPECT_EQ(PublicKeyOf(*secretKey).key, publicKey->key);
    EXPECT_NE(ReadFileBytes(File("their.pub")).find(KeyIdText(publicKey->keyId)),
              std::string::npos);

    for (const char* legacy : {"", " -l"}) {
        SCOPED_TRACE(*legacy ? "legacy Ed" : "prehashed ED");
        ASSERT_TRUE(Succeeds(std::string(kMinisign) + " -S -W" + legacy + " -s " +
                             File("their.key") + " -m " + File("message") + " -x " +
                             File("m.minisig") + " -t 'trusted words'"));
        std::optional<MinisignSignature> signature =
            ParseSignature(ReadFileBytes(File("m.minisig")), &error);
        ASSERT_TRUE(signature) << error;
        EXPECT_EQ(signature->algorithm,
                  *legacy ? SignatureAlgorithm::Legacy : SignatureAlgorithm::Prehashed);
        EXPECT_EQ(VerifyMessage(*publicKey, *signature, message_), SignatureCheck::Valid);
        std::string changed = message_;
        changed[3] ^= 1;
        EXPECT_EQ(VerifyMessage(*publicKey, *signature, changed), SignatureCheck::Invalid);
    }

    // Our signature with their key verifies with minisign.
    WriteFileBytes(File("ours.minisig"),
                   FormatSignatureFile(SignMessage(*secretKey, message_, "t", "u")));
    EXPECT_TRUE(Succeeds(std::string(kMinisign) + " -V -q -p " + File("their.pub") + " -m " +
                         File("message") + " -x " + File("ours.minisig")));
}

TEST(MinisignFormats, RefusesOtherKeysAndDamagedFiles) {
    MinisignKeyPair pair = GenerateKeyPair();
    MinisignKeyPair other = GenerateKeyPair();
    MinisignSignature signature = SignMessage(pair.secretKey, "text", "c", "u");
    EXPECT_EQ(VerifyMessage(other.publicKey, signature, "text"), SignatureCheck::OtherKey);
    // Same key id, other key: the signature itself fails.
    other.publicKey.keyId = pair.publicKey.keyId;
    EXPECT_EQ(VerifyMessage(other.publicKey, signature, "text"), SignatureCheck::Invalid);

    std::string file = FormatSignatureFile(signature);
    std::string error;
    ASSERT_TRUE(ParseSignature(file, &error)) << error;
    std::string garbled = file;
    garbled[file.find('\n') + 5] = '!';
    EXPECT_FALSE(ParseSignature(garbled, &error));
    EXPECT_FALSE(ParseSignature(file.substr(0, file.rfind("trusted")), &error));
    EXPECT_FALSE(ParseSignature("", &error));

    std::string secret = FormatSecretKeyFile(pair.secretKey);
    ASSERT_TRUE(ParseSecretKey(secret, &error)) << error;
    // A changed key byte no longer matches the key's checksum.
    std::string damaged = secret;
    char& c = damaged[damaged.find('\n') + 100];
    c = c == 'A' ? 'B' : 'A';
    EXPECT_FALSE(ParseSecretKey(damaged, &error));
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;
    EXPECT_FALSE(ParsePublicKey(secret, &error));
    EXPECT_FALSE(ParsePublicKey("untrusted comment: x\nRWQ=\n", &error));
}

}  // namespace
}  // namespace korvun
