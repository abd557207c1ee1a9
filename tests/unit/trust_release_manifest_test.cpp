// The release manifest, its stamp and the order in which a release is judged.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/nginx_fixture.h"
#include "trust/release_manifest.h"

namespace korvun {
namespace {

using test::TempDirectory;
using test::WriteFileBytes;

Sha256Digest DigestOf(const std::string& data) {
    Sha256Stream stream;
    stream.Update(data.data(), data.size());
    return stream.Finish();
}

TEST(Sha256Stream, PiecesGiveTheDigestOfTheWhole) {
    EXPECT_EQ(HexDigest(DigestOf("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    Sha256Stream stream;
    for (size_t at = 0; at < data.size(); at += 2047) {
        stream.Update(data.data() + at, std::min<size_t>(2047, data.size() - at));
    }
    EXPECT_EQ(stream.Finish(), DigestOf(data));
    EXPECT_EQ(ParseHexDigest(HexDigest(DigestOf(data))), DigestOf(data));
    EXPECT_FALSE(ParseHexDigest(std::string(63, 'a')));
    EXPECT_FALSE(ParseHexDigest(std::string(63, 'a') + "g"));
}

TEST(ReleaseManifest, Sha256sumChecksTheFilesItLists) {
    TempDirectory root("korvun-manifest");
    std::vector<ManifestEntry> entries;
    for (std::string path : {"patch/UpdateVersion.ini", "patch/patch/pk0002.patch"}) {
        std::string content = "content of " + path;
        WriteFileBytes(root.Path() + "/" + path, content);
        entries.push_back({path, content.size(), DigestOf(content)});
    }
    std::string text = FormatManifest(entries);
    WriteFileBytes(root.Path() + "/patch/release.manifest", text);
    std::string check = "cd " + root.Path() +
                        " && sha256sum --strict --quiet -c patch/release.manifest >/dev/null 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0);
    WriteFileBytes(root.Path() + "/patch/patch/pk0002.patch", "changed");
    EXPECT_NE(std::system(check.c_str()), 0);

    std::string error;
    std::optional<std::vector<ManifestEntry>> back = ParseManifest(text, &error);
    ASSERT_TRUE(back) << error;
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[1].path, "patch/patch/pk0002.patch");
    EXPECT_EQ((*back)[1].size, entries[1].size);
    EXPECT_EQ((*back)[1].sha256, entries[1].sha256);
    EXPECT_EQ(FindEntry(*back, "patch/UpdateVersion.ini"), &(*back)[0]);
    EXPECT_EQ(FindEntry(*back, "patch/patch/pk0003.patch"), nullptr);
}

TEST(ReleaseManifest, EveryHashNeedsItsOwnSizeAndEveryPathAppearsOnce) {
    std::string hash = HexDigest(DigestOf("x"));
    std::string error;
    EXPECT_FALSE(ParseManifest(hash + "  a\n", &error));  // no size
    EXPECT_FALSE(ParseManifest("#size 1 b\n" + hash + "  a\n", &error));
    EXPECT_FALSE(ParseManifest("#size 1 a\n#size 1 a\n" + hash + "  a\n", &error));
    EXPECT_FALSE(ParseManifest("#size 1 a\n", &error));
    EXPECT_FALSE(ParseManifest("#size -1 a\n" + hash + "  a\n", &error));
    EXPECT_FALSE(ParseManifest("#size 1 a\n" + hash + " a\n", &error));
    EXPECT_FALSE(ParseManifest("#size 1 a\n" + hash + "  a\n#size 1 a\n" + hash + "  a\n", &error));
    EXPECT_NE(error.find("twice"), std::string::npos) << error;
    std::optional<std::vector<ManifestEntry>> crlf =
        ParseManifest("# note\r\n#size 1 a\r\n" + hash + " *a\r\n", &error);
    ASSERT_TRUE(crlf) << error;
    EXPECT_EQ((*crlf)[0].path, "a");
}

TEST(ReleaseManifest, StampRoundTripsAndRefusesWhatIsNotOne) {
    std::optional<ReleaseStamp> stamp = ParseReleaseStamp(FormatReleaseStamp({12, 1700000000}));
    ASSERT_TRUE(stamp);
    EXPECT_EQ(stamp->serial, 12u);
    EXPECT_EQ(stamp->expires, 1700000000);
    EXPECT_FALSE(ParseReleaseStamp("korvun release serial:12"));
    EXPECT_FALSE(ParseReleaseStamp("timestamp:1 file:x"));
    EXPECT_FALSE(ParseReleaseStamp("korvun release serial:1 serial:2 expires:3"));
    EXPECT_FALSE(ParseReleaseStamp("korvun release serial:x expires:3"));
}

TEST(ReleaseManifest, ReleaseIsJudgedBySignatureThenExpiryThenSerial) {
    MinisignKeyPair pair = GenerateKeyPair();
    std::string manifest = FormatManifest({{"patch/UpdateVersion.ini", 1, DigestOf("x")}});
    auto sign = [&](const std::string& text, ReleaseStamp stamp) {
        return FormatSignatureFile(
            SignMessage(pair.secretKey, text, FormatReleaseStamp(stamp), ""));
    };
    std::string good = sign(manifest, {5, 1000});

    VerifiedRelease valid = VerifyRelease(pair.publicKey, manifest, good, 999, 5);
    EXPECT_EQ(valid.status, ReleaseCheck::Valid) << valid.detail;
    EXPECT_EQ(valid.stamp.serial, 5u);
    ASSERT_EQ(valid.entries.size(), 1u);

    EXPECT_EQ(VerifyRelease(pair.publicKey, manifest, good, 1000, 0).status, ReleaseCheck::Expired);
    EXPECT_EQ(VerifyRelease(pair.publicKey, manifest, good, 0, 6).status, ReleaseCheck::Rollback);
    // An expired release is refused as expired even when it is also old.
    EXPECT_EQ(VerifyRelease(pair.publicKey, manifest, good, 2000, 6).status, ReleaseCheck::Expired);
    EXPECT_EQ(VerifyRelease(GenerateKeyPair().publicKey, manifest, good, 0, 0).status,
              ReleaseCheck::OtherKey);
    EXPECT_EQ(VerifyRelease(pair.publicKey, manifest + "\n", good, 0, 0).status,
              ReleaseCheck::BadSignature);
    EXPECT_EQ(VerifyRelease(pair.publicKey, manifest, "", 0, 0).status, ReleaseCheck::Unreadable);
    // Signed, but not a stamp or not a manifest: the operator signed the wrong thing.
    std::string minisignStyle =
        FormatSignatureFile(SignMessage(pair.secretKey, manifest, "timestamp:1", ""));
    EXPECT_EQ(VerifyRelease(pair.publicKey, manifest, minisignStyle, 0, 0).status,
              ReleaseCheck::Unreadable);
    EXPECT_EQ(VerifyRelease(pair.publicKey, "garbage\n", sign("garbage\n", {5, 1000}), 0, 0).status,
              ReleaseCheck::Unreadable);
}

}  // namespace
}  // namespace korvun
