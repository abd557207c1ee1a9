// release keygen / sign / verify, and the re-signing of add, set-updater and
// withdraw-updater, checked also with the tools operators know (minisign, sha256sum).
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMinisign = "/usr/bin/minisign";

class ReleaseSigning : public ::testing::Test {
  protected:
    void SetUp() override {
        for (unsigned n = 1; n <= 3; ++n) {
            MakeTree(Dir("v" + std::to_string(n)), {{"readme.txt", "release " + std::to_string(n)}},
                     {{"data/a.txt", "content " + std::to_string(n)}});
        }
        fs::create_directories(Dir("out"));
        for (unsigned n = 2; n <= 3; ++n) {
            RunResult built =
                Tool({"package", "build", "--from", Dir("v" + std::to_string(n - 1)), "--to",
                      Dir("v" + std::to_string(n)), "--number", std::to_string(n), Dir("out")});
            ASSERT_EQ(built.status, 0) << built.output;
        }
        ASSERT_EQ(Tool({"release", "init", Dir("server")}).status, 0);
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }
    std::string Built(unsigned n) const { return Dir("out/pk000" + std::to_string(n) + ".patch"); }
    std::string Manifest() const { return ReadFileBytes(Dir("server/patch/release.manifest")); }
    std::string Signature() const {
        return ReadFileBytes(Dir("server/patch/release.manifest.minisig"));
    }
    RunResult Verify(const std::string& pub) const {
        return Tool({"release", "verify", Dir("server"), "--pub", pub});
    }
    RunResult Minisign(const std::vector<std::string>& args) const {
        return RunProgram(kMinisign, args);
    }

    TempDirectory work_{"korvun-signing"};
};

TEST_F(ReleaseSigning, KeygenSignVerifyAndTheToolsOperatorsKnowAgree) {
    RunResult keygen = Tool({"release", "keygen", Dir("keys")});
    ASSERT_EQ(keygen.status, 0) << keygen.output;
    struct stat info {};
    ASSERT_EQ(stat(Dir("keys/release.key").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string key = ReadFileBytes(Dir("keys/release.key"));
    EXPECT_EQ(Tool({"release", "keygen", Dir("keys")}).status, 1);
    EXPECT_EQ(ReadFileBytes(Dir("keys/release.key")), key);

    ASSERT_EQ(Tool({"release", "add", Dir("server"), Built(2)}).status, 0);
    WriteFileBytes(Dir("updater.exe"), "MZ new updater");
    ASSERT_EQ(Tool({"release", "set-updater", Dir("server"), Dir("updater.exe")}).status, 0);
    RunResult sign = Tool(
        {"release", "sign", Dir("server"), "--key", Dir("keys/release.key"), "--expires", "3"});
    ASSERT_EQ(sign.status, 0) << sign.output;
    for (const char* listed : {"  patch/UpdateVersion.ini\n", "  patch/patch/pk0002.patch\n",
                               "  Korvun/new_updater.exe\n"}) {
        EXPECT_NE(Manifest().find(listed), std::string::npos) << Manifest();
    }
    RunResult verified = Verify(Dir("keys/release.pub"));
    EXPECT_EQ(verified.status, 0) << verified.output;

    if (access(kMinisign, X_OK) == 0) {
        RunResult theirs = Minisign(
            {"-V", "-p", Dir("keys/release.pub"), "-m", Dir("server/patch/release.manifest")});
        EXPECT_EQ(theirs.status, 0) << theirs.output;
        EXPECT_NE(theirs.output.find("korvun release serial:"), std::string::npos);
    }
    RunResult sums = RunProgram(
        "/bin/sh",
        {"-c", "cd '" + Dir("server") + "' && sha256sum --strict -c patch/release.manifest"});
    EXPECT_EQ(sums.status, 0) << sums.output;

    // One changed byte in a published file, and verify says which file.
    std::string package = ReadFileBytes(Dir("server/patch/patch/pk0002.patch"));
    package[package.size() / 2] ^= 0x20;
    WriteFileBytes(Dir("server/patch/patch/pk0002.patch"), package);
    RunResult tampered = Verify(Dir("keys/release.pub"));
    EXPECT_EQ(tampered.status, 1);
    EXPECT_NE(tampered.output.find("pk0002.patch differs"), std::string::npos) << tampered.output;

    // Another key's public half does not verify it.
    ASSERT_EQ(Tool({"release", "keygen", Dir("other")}).status, 0);
    EXPECT_EQ(Verify(Dir("other/release.pub")).status, 1);
}

TEST_F(ReleaseSigning, ChangesSignAgainWithKeyAndOtherwiseSayTheSignatureIsStale) {
    ASSERT_EQ(Tool({"release", "keygen", Dir("keys")}).status, 0);
    ASSERT_EQ(Tool({"release", "sign", Dir("server"), "--key", Dir("keys/release.key")}).status, 0);
    const std::string firstSignature = Signature();

    RunResult unsignedAdd = Tool({"release", "add", Dir("server"), Built(2), "--unsigned"});
    ASSERT_EQ(unsignedAdd.status, 0) << unsignedAdd.output;
    EXPECT_NE(unsignedAdd.output.find("signature is now stale"), std::string::npos)
        << unsignedAdd.output;
    EXPECT_EQ(Signature(), firstSignature);
    RunResult stale = Verify(Dir("keys/release.pub"));
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.output.find("pk0002.patch is published but not signed"), std::string::npos)
        << stale.output;

    RunResult resigned =
        Tool({"release", "add", Dir("server"), Built(3), "--key", Dir("keys/release.key")});
    ASSERT_EQ(resigned.status, 0) << resigned.output;
    EXPECT_EQ(Verify(Dir("keys/release.pub")).status, 0);
    // Each signing carries a higher serial than the one before.
    auto serial = [](const std::string& signature) {
        size_t at = signature.find("serial:") + 7;
        return std::stoull(signature.substr(at, signature.find(' ', at) - at));
    };
    EXPECT_GT(serial(Signature()), serial(firstSignature));
    std::string before = Signature();
    ASSERT_EQ(Tool({"release", "withdraw-updater", Dir("server"), "--key", Dir("keys/release.key")})
                  .status,
              0);
    EXPECT_GT(serial(Signature()), serial(before));
}

TEST_F(ReleaseSigning, AddOnASignedServerSignsInTheSameStepOrChangesNothing) {
    ASSERT_EQ(Tool({"release", "keygen", Dir("keys")}).status, 0);
    ASSERT_EQ(Tool({"release", "sign", Dir("server"), "--key", Dir("keys/release.key")}).status, 0);
    const std::string signature = Signature();
    const std::string versionFile = ReadFileBytes(Dir("server/patch/UpdateVersion.ini"));
    const std::string published = Dir("server/patch/patch/pk0002.patch");

    // Refusals leave the server as it was: no key, a key that cannot sign, both options.
    struct Refusal {
        std::vector<std::string> extra;
        int status;
        const char* says;
    };
    const Refusal refusals[] = {
        {{}, 1, "--unsigned"},
        {{"--key", Dir("keys/release.pub")}, 1, "nothing changed"},
        {{"--key", Dir("keys/missing.key")}, 1, "cannot be read"},
        {{"--key", Dir("keys/release.key"), "--unsigned"}, 2, "excludes"},
    };
    for (const Refusal& refusal : refusals) {
        std::vector<std::string> args = {"release", "add", Dir("server"), Built(2)};
        args.insert(args.end(), refusal.extra.begin(), refusal.extra.end());
        RunResult refused = Tool(args);
        EXPECT_EQ(refused.status, refusal.status) << refused.output;
        EXPECT_NE(refused.output.find(refusal.says), std::string::npos) << refused.output;
        EXPECT_FALSE(fs::exists(published));
        EXPECT_EQ(ReadFileBytes(Dir("server/patch/UpdateVersion.ini")), versionFile);
        EXPECT_EQ(Signature(), signature);
    }

    RunResult signedAdd =
        Tool({"release", "add", Dir("server"), Built(2), "--key", Dir("keys/release.key")});
    ASSERT_EQ(signedAdd.status, 0) << signedAdd.output;
    EXPECT_EQ(Verify(Dir("keys/release.pub")).status, 0);
    // The same add again, without a key, finds everything published and keeps the signature.
    const std::string afterAdd = Signature();
    RunResult again = Tool({"release", "add", Dir("server"), Built(2)});
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("already published"), std::string::npos) << again.output;
    EXPECT_EQ(again.output.find("stale"), std::string::npos) << again.output;
    EXPECT_EQ(Signature(), afterAdd);
    EXPECT_EQ(Verify(Dir("keys/release.pub")).status, 0);
}

TEST_F(ReleaseSigning, KeyPairMadeByMinisignSignsAndVerifies) {
    if (access(kMinisign, X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
    fs::create_directories(Dir("keys"));
    ASSERT_EQ(Minisign({"-G", "-W", "-p", Dir("keys/m.pub"), "-s", Dir("keys/m.key")}).status, 0);
    RunResult sign = Tool({"release", "sign", Dir("server"), "--key", Dir("keys/m.key")});
    ASSERT_EQ(sign.status, 0) << sign.output;
    EXPECT_EQ(Verify(Dir("keys/m.pub")).status, 0);
    // A manifest signed by minisign itself (with our stamp as its trusted comment) verifies.
    std::string comment = Signature().substr(Signature().find("\ntrusted comment: ") + 18);
    comment = comment.substr(0, comment.find('\n'));
    ASSERT_EQ(Minisign({"-S", "-W", "-s", Dir("keys/m.key"), "-m",
                        Dir("server/patch/release.manifest"), "-t", comment})
                  .status,
              0);
    RunResult verified = Verify(Dir("keys/m.pub"));
    EXPECT_EQ(verified.status, 0) << verified.output;
}

}  // namespace
}  // namespace korvun::test
