// A client built with a release key against servers that an attacker on the path controls:
// each attack ends the run with its documented message, leaves the game directory and
// CurrentVersion as they were, and the next run against the honest server completes.
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

#include "integration/update_scenario.h"
#include "trust/release_manifest.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCompleted = 0, kFailed = 1;
const std::string kKeys = KORVUN_TRUST_KEYS;
const std::string kTool = KORVUN_TOOL_PATH;

std::string FileContent(const std::string& path) { return ReadFileBytes(path); }

MinisignSecretKey SecretKey(const std::string& name) {
    std::string error;
    std::optional<MinisignSecretKey> key =
        ParseSecretKey(FileContent(kKeys + "/" + name + "/release.key"), &error);
    if (!key) throw std::runtime_error(error);
    return *key;
}

// Every file of the game directory; Version.ini without the accepted serial, which a run
// records as soon as it accepts a release.
std::map<std::string, std::string> Snapshot(const std::string& directory) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(directory)) {
        if (!item.is_regular_file()) continue;
        std::string relative = fs::relative(item.path(), directory).generic_string();
        std::string content = ReadFileBytes(item.path());
        if (relative == "Version.ini") {
            size_t at = content.find("ReleaseSerial=");
            if (at != std::string::npos) content.erase(at, content.find('\n', at) + 1 - at);
        }
        files[relative] = content;
    }
    return files;
}

class SignedRelease : public UpdateScenario {
  protected:
    SignedRelease() {
        InstallGameArchive({{"Data\\a.dds", "a v1"}});
        WriteGameFile("readme.txt", "readme v1");
        WriteLocalVersion(1, "EXTRACT_END");
        PublishVersion(3, 20, 3);
        PublishPackage(2, UpdateArchiveEntries({{"Data\\a.dds", "a v2"}}));
        std::vector<PackageEntry> three = UpdateArchiveEntries({{"Data\\b.dds", "b v3"}});
        three.push_back({"readme.txt", "readme v3"});
        PublishPackage(3, three);
    }

    std::string ServerFile(const std::string& relative) const {
        return server_.Root() + "/" + relative;
    }
    void Sign() const {
        ProgramResult signing = RunProgram(
            {kTool, "release", "sign", server_.Root(), "--key", kKeys + "/signing/release.key"},
            root_.Path());
        ASSERT_EQ(signing.status, std::optional<int>(0)) << signing.out << signing.err;
    }
    // A manifest of the server's files as they are now, signed by hand.
    void SignWith(const MinisignSecretKey& key, ReleaseStamp stamp,
                  const std::vector<std::string>& paths) const {
        std::vector<ManifestEntry> entries;
        for (const std::string& path : paths) {
            std::optional<FileDigest> digest = DigestFile(ServerFile(path));
            ASSERT_TRUE(digest) << path;
            entries.push_back({path, digest->size, digest->sha256});
        }
        std::string manifest = FormatManifest(entries);
        server_.WriteFile(kManifestPath, manifest);
        server_.WriteFile(
            kManifestSignaturePath,
            FormatSignatureFile(SignMessage(key, manifest, FormatReleaseStamp(stamp), "by hand")));
    }
    static int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }
    std::vector<std::string> AllFiles() const {
        return {"patch/UpdateVersion.ini", "patch/patch/pk0002.patch", "patch/patch/pk0003.patch"};
    }

    // The attack run: its message, and nothing changed but the accepted serial.
    void ExpectRefused(const std::string& message) {
        auto before = Snapshot(GamePath());
        std::optional<std::string> current = LocalValue("CurrentVersion");
        ConsoleResult run = RunConsole();
        EXPECT_EQ(run.status, kFailed) << run.out << run.err;
        EXPECT_EQ(run.LastLine(), message) << run.out << run.err;
        EXPECT_EQ(Snapshot(GamePath()), before);
        EXPECT_EQ(LocalValue("CurrentVersion"), current);
    }
    // The honest server: everything as published, signed now.
    void ExpectHonestRunCompletes(unsigned version = 3) {
        Sign();
        ConsoleResult run = RunConsole();
        ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
        EXPECT_EQ(LocalValue("CurrentVersion"), std::to_string(version));
        EXPECT_EQ(ReadGameFile("readme.txt"), "readme v3");
    }
};

TEST_F(SignedRelease, HonestServerOverHttpsCompletesAndRecordsTheSerial) {
    TestCertificates certificates = MakeTestCertificates(root_.Path() + "/tls");
    NginxServer secure(NginxServer::Tls{certificates.certificate, certificates.key, ""});
    fs::copy(server_.Root(), secure.Root(), fs::copy_options::recursive);
    RunProgram({kTool, "release", "sign", secure.Root(), "--key", kKeys + "/signing/release.key"},
               root_.Path());
    PointAt("https://" + secure.Address() + "/");

    // Without the test authority the certificate is refused with the transport's text.
    unsetenv("KORVUN_TEST_CA_FILE");
    ConsoleResult refused = RunConsole();
    EXPECT_EQ(refused.status, kFailed);
    EXPECT_NE(refused.err.find("The server's security certificate could not be verified"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.LastLine(), "Download Failed: Cannot read the release signature.c50");

    setenv("KORVUN_TEST_CA_FILE", certificates.authority.c_str(), 1);
    ConsoleResult run = RunConsole();
    unsetenv("KORVUN_TEST_CA_FILE");
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(LocalValue("CurrentVersion"), "3");
    EXPECT_EQ(ReadGameFile("readme.txt"), "readme v3");
    std::string signature = ReadFileBytes(secure.Root() + "/" + kManifestSignaturePath);
    size_t at = signature.find("serial:") + 7;
    EXPECT_EQ(LocalValue("ReleaseSerial"), signature.substr(at, signature.find(' ', at) - at));
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    EXPECT_FALSE(GameFileExists("UpdateVersion.ini"));
}

TEST_F(SignedRelease, TamperedPackageIsDeletedBeforeExtraction) {
    Sign();
    std::string package = FileContent(ServerFile("patch/patch/pk0002.patch"));
    package[package.size() / 3] ^= 0x01;
    server_.WriteFile("patch/patch/pk0002.patch", package);
    ExpectRefused("Download Failed: pk0002.patch Wrong checksum.c58");
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    PublishPackage(2, UpdateArchiveEntries({{"Data\\a.dds", "a v2"}}));
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, PackageOfAnotherReleaseIsRefused) {
    // The same number built for an older release: validly signed once, but not in this one.
    std::string older = PublishPackage(2, UpdateArchiveEntries({{"Data\\a.dds", "a v2 (old)"}}));
    PublishPackage(2, UpdateArchiveEntries({{"Data\\a.dds", "a v2"}}));
    Sign();
    server_.WriteFile("patch/patch/pk0002.patch", older);
    ExpectRefused("Download Failed: pk0002.patch Wrong size.c57");
    PublishPackage(2, UpdateArchiveEntries({{"Data\\a.dds", "a v2"}}));
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, OlderManifestAfterANewerOneIsARollback) {
    Sign();
    std::string oldManifest = FileContent(ServerFile(kManifestPath));
    std::string oldSignature = FileContent(ServerFile(kManifestSignaturePath));
    ExpectHonestRunCompletes();  // accepts a newer serial
    server_.WriteFile(kManifestPath, oldManifest);
    server_.WriteFile(kManifestSignaturePath, oldSignature);
    ExpectRefused("Update error: The release is older than the installed one.c55");
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, ExpiredManifestIsRefused) {
    SignWith(SecretKey("signing"), {uint64_t(Now()), Now() - 60}, AllFiles());
    ExpectRefused("Update error: The release has expired.c54");
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, PackageLongerThanSignedIsNotRead) {
    Sign();
    std::string package = FileContent(ServerFile("patch/patch/pk0002.patch"));
    server_.WriteFile("patch/patch/pk0002.patch", package + std::string(32 << 20, 'x'));
    ExpectRefused("Download Failed: pk0002.patch Wrong size.c57");
    // Only its size was asked: no request took the whole body.
    ASSERT_GE(Requests("/patch/patch/pk0002.patch", 1), 1u);
    for (const std::string& line : server_.AccessLog()) {
        if (line.find("/patch/patch/pk0002.patch") == std::string::npos) continue;
        EXPECT_LT(std::stoull(line.substr(line.rfind(' ') + 1)), package.size() + (32 << 20))
            << line;
    }
    server_.WriteFile("patch/patch/pk0002.patch", package);
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, MissingGarbledAndForeignSignaturesAreRefused) {
    Sign();
    fs::remove(ServerFile(kManifestSignaturePath));
    ExpectRefused("Download Failed: Cannot read the release signature.c50");

    Sign();
    std::string signature = FileContent(ServerFile(kManifestSignaturePath));
    signature[signature.find('\n') + 20] = '*';
    server_.WriteFile(kManifestSignaturePath, signature);
    ExpectRefused("Update error: The release signature is damaged.c51");

    SignWith(SecretKey("stranger"), {uint64_t(Now()), Now() + 3600}, AllFiles());
    ExpectRefused("Update error: The release is signed with another key.c52");

    // Right key, but the manifest was changed after signing.
    Sign();
    server_.WriteFile(kManifestPath, FileContent(ServerFile(kManifestPath)) + "\n");
    ExpectRefused("Update error: The release signature is not valid.c53");
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, ManifestOmittingAPackageRefusesBeforeAnyPackageIsApplied) {
    SignWith(SecretKey("signing"), {uint64_t(Now()), Now() + 3600},
             {"patch/UpdateVersion.ini", "patch/patch/pk0002.patch"});
    ExpectRefused("Download Failed: pk0003.patch Not in the release.c56");
    EXPECT_EQ(Requests("GET /patch/patch/pk0002.patch ", 1), 1u);  // its size only
    ExpectHonestRunCompletes();
}

TEST_F(SignedRelease, SubstitutedUpdaterIsDeletedAndNeverStarted) {
    std::string marker = root_.Path() + "/game-started";
    WriteGameFile("Game.exe", "#!/bin/sh\ntouch '" + marker + "'\n");
    chmod(GamePath("Game.exe").c_str(), 0755);
    server_.WriteFile("Korvun/new_updater.exe", "the real new updater\n");
    PublishVersion(3, 21, 3);
    Sign();
    server_.WriteFile("Korvun/new_updater.exe", "the evil new updater\n");  // same size
    ExpectRefused("Download Failed: new_updater.exe Wrong checksum.c58");
    EXPECT_FALSE(GameFileExists("new_updater.exe"));
    EXPECT_FALSE(fs::exists(marker));

    server_.WriteFile("Korvun/new_updater.exe", "the real new updater\n");
    Sign();
    ConsoleResult run = RunConsole();
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(ReadGameFile("new_updater.exe"), "the real new updater\n");
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(marker); }, 10s));
}

TEST_F(SignedRelease, AMirrorIsHeldToTheSignedManifestAsTheServerIs) {
    Sign();
    // The first address refuses connections; the mirror has the signed release, and a
    // package it changed.
    NginxServer mirror;
    fs::copy(server_.Root(), mirror.Root(), fs::copy_options::recursive);
    std::string package = FileContent(ServerFile("patch/patch/pk0002.patch"));
    std::string tampered = package;
    tampered[tampered.size() / 2] ^= 0x01;
    mirror.WriteFile("patch/patch/pk0002.patch", tampered);
    WriteGameFile("UpdaterURL.txt",
                  "127.0.0.1:" + std::to_string(UnusedPort()) + " " + mirror.Address() + "\r\n");
    ExpectRefused("Download Failed: pk0002.patch Wrong checksum.c58");
    EXPECT_GE(mirror.CountRequests("/patch/patch/pk0002.patch", 2), 2u);
    EXPECT_FALSE(GameFileExists("pk0002.patch"));

    mirror.WriteFile("patch/patch/pk0002.patch", package);
    ConsoleResult run = RunConsole();
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(LocalValue("CurrentVersion"), "3");
    EXPECT_EQ(ReadGameFile("readme.txt"), "readme v3");
}

}  // namespace
}  // namespace korvun::test
