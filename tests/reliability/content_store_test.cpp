// The content store against a damaged client: one --repair run of the signed console mends
// any mix of damage from a store served by nginx, fetching no more than the blobs that hold
// what was damaged; a store it must not trust leaves the client untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "archive/game_archive.h"
#include "reliability/release_fixture.h"
#include "store/blob_codec.h"
#include "store/content_manifest.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr int kIntact = 0, kDiffers = 1, kUnchecked = 4;

std::string RandomBytes(size_t size, std::mt19937& random) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 7 == 0 ? random() : 'k');
    return bytes;
}

// Where an entry's bytes lie in the client's data.kaf.
uint64_t EntryOffset(const std::string& dir, const std::string& path) {
    std::string reason;
    std::optional<ArchiveIndex> index = GameArchive::ReadIndexFile(dir + "/data.kah", &reason);
    EXPECT_TRUE(index) << reason;
    const ArchiveFolder* folder = index ? &index->root : nullptr;
    std::string rest = path;
    for (size_t slash; folder && (slash = rest.find('\\')) != std::string::npos;) {
        folder = folder->FindSubfolder(rest.substr(0, slash));
        rest = rest.substr(slash + 1);
    }
    const ArchiveEntry* entry = folder ? folder->FindFile(rest) : nullptr;
    EXPECT_NE(entry, nullptr) << path;
    return entry ? entry->offset : 0;
}

// A byte range of an item that damage touched; the whole item when size is UINT64_MAX.
struct Touched {
    std::string path;
    uint64_t offset = 0;
    uint64_t size = UINT64_MAX;
};

class ContentStore : public ::testing::Test {
  protected:
    ContentStore() : environment_(scratch_) {
        environment_.SetProgram(SignedConsoleProgram());
        environment_.SetArguments({"--repair"});
        std::mt19937 random(25);
        release_ = GenerateVersions(1, 25).back();
        // Larger than a piece, so that damage to a few bytes costs one piece, not the item.
        release_.loose["bin/game.exe"] = RandomBytes(3 * kContentPieceSize + 4321, random);
        release_.archive["data\\big.pak"] = RandomBytes(2 * kContentPieceSize + 99, random);
        WriteTree(release_, tree_);
        Store(TrustKeys() + "/signing/release.key");
    }

    void Store(const std::string& key) {
        RunResult stored = RunProgram({ToolProgram(), "release", "store", server_.Root(), tree_,
                                       "--version", "2", "--key", key});
        ASSERT_EQ(stored.exitCode, 0) << stored.out << stored.err;
    }

    std::string Install(const std::string& name) {
        std::string dir = scratch_ + "/" + name;
        InstallClient(release_, 2, dir, server_.Address());
        return dir;
    }

    ContentManifest Manifest() const {
        std::string error;
        auto manifest = ParseContentManifest(
            ReadFileBytes(server_.Root() + "/" + ContentManifestPath(2)), &error);
        EXPECT_TRUE(manifest) << error;
        return manifest.value_or(ContentManifest{});
    }

    // What a repair may fetch: the compressed blobs of the parts the damage touched, the
    // manifest, its signature and the pointer to the newest version.
    uint64_t FetchBound(const std::vector<Touched>& touched) const {
        std::set<Sha256Digest> blobs;
        ContentManifest manifest = Manifest();
        for (const Touched& damage : touched) {
            for (const ContentItem& item : manifest.items) {
                if (item.path != damage.path) continue;
                uint64_t at = 0;
                for (const ContentPart& part : item.parts) {
                    bool overlaps =
                        damage.size == UINT64_MAX ||
                        (damage.offset < at + part.length && at < damage.offset + damage.size);
                    if (overlaps) blobs.insert(part.blob);
                    at += part.length;
                }
            }
        }
        uint64_t bound = 0;
        for (const Sha256Digest& blob : blobs)
            bound += fs::file_size(server_.Root() + "/" + BlobPath(blob));
        for (std::string path :
             {ContentManifestPath(2), ContentSignaturePath(2), std::string(kLatestContentPath)}) {
            bound += fs::file_size(server_.Root() + "/" + path);
        }
        return bound;
    }

    std::string scratch_ = MakeScratchDirectory("korvun-store");
    std::string tree_ = scratch_ + "/tree";
    ConsoleEnvironment environment_;
    NginxServer server_;
    ClientTree release_;
};

void FlipBytes(const std::string& path, uint64_t offset, size_t count) {
    std::string bytes = ReadFileBytes(path);
    for (size_t i = 0; i < count; ++i) bytes[offset + i] = static_cast<char>(~bytes[offset + i]);
    WriteFileBytes(path, bytes);
}

using Damage = std::function<std::vector<Touched>(const std::string& dir, std::mt19937& random)>;

std::vector<Touched> DeleteLoose(const std::string& dir, std::mt19937&) {
    fs::remove(dir + "/readme.txt");
    return {{"readme.txt"}};
}

std::vector<Touched> TruncateLoose(const std::string& dir, std::mt19937& random) {
    uint64_t keep = random() % fs::file_size(dir + "/bin/game.exe");
    fs::resize_file(dir + "/bin/game.exe", keep);
    return {{"bin/game.exe", keep, UINT64_MAX / 2}};
}

std::vector<Touched> FlipLoose(const std::string& dir, std::mt19937& random) {
    uint64_t at = random() % (fs::file_size(dir + "/bin/game.exe") - 4);
    FlipBytes(dir + "/bin/game.exe", at, 4);
    return {{"bin/game.exe", at, 4}};
}

std::vector<Touched> FlipEntries(const std::string& dir, std::mt19937& random) {
    uint64_t inBig = random() % (2 * kContentPieceSize);
    FlipBytes(dir + "/data.kaf", EntryOffset(dir, "data\\big.pak") + inBig, 3);
    FlipBytes(dir + "/data.kaf", EntryOffset(dir, "data\\map\\m3.map") + 10, 1);
    return {{"data\\big.pak", inBig, 3}, {"data\\map\\m3.map", 10, 1}};
}

std::vector<Touched> DeleteDataFile(const std::string& dir, std::mt19937&) {
    fs::remove(dir + "/data.kaf");
    return {};
}

std::vector<Touched> GarbageVersion(const std::string& dir, std::mt19937&) {
    WriteFileBytes(dir + "/Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=zz9\r\n");
    return {};
}

TEST_F(ContentStore, OneRepairMendsAnyDamageFetchingOnlyTheBlobsThatHoldIt) {
    std::vector<Touched> everyEntry;
    for (const auto& [path, content] : release_.archive) everyEntry.push_back({path});
    const std::vector<std::pair<std::string, std::vector<Damage>>> cases = {
        {"deleted loose file", {DeleteLoose}},
        {"truncated large file", {TruncateLoose}},
        {"flipped bytes in a large file", {FlipLoose}},
        {"flipped bytes in archive entries", {FlipEntries}},
        {"garbage CurrentVersion", {GarbageVersion}},
        {"everything at once", {DeleteLoose, FlipLoose, FlipEntries, GarbageVersion}},
        {"deleted data.kaf", {DeleteDataFile}},
    };
    std::mt19937 random(2501);
    for (const auto& [name, damages] : cases) {
        SCOPED_TRACE(name);
        std::string dir = Install(std::to_string(random()));
        std::vector<Touched> touched;
        for (const Damage& damage : damages) {
            std::vector<Touched> more = damage(dir, random);
            touched.insert(touched.end(), more.begin(), more.end());
        }
        if (!fs::exists(dir + "/data.kaf")) touched = everyEntry;
        uint64_t servedBefore = server_.BodyBytesSent("/patch/content/");

        RunResult run = RunConsole(environment_, dir, {});
        EXPECT_EQ(run.exitCode, kIntact) << run.out << run.err;
        std::string output;
        EXPECT_TRUE(ClientVerifyPasses(dir, tree_, &output)) << output;
        EXPECT_EQ(ReadCurrentVersion(dir), "2");
        EXPECT_FALSE(fs::exists(dir + "/update.kah") || fs::exists(dir + "/data.kaf.journal"));
        server_.CountRequests("/patch/content/", 1);
        EXPECT_LE(server_.BodyBytesSent("/patch/content/") - servedBefore, FetchBound(touched));
    }
}

TEST_F(ContentStore, AStoreThatCannotBeTrustedLeavesTheClientUntouched) {
    const std::string manifestPath = server_.Root() + "/" + ContentManifestPath(2);
    const std::string signaturePath = server_.Root() + "/" + ContentSignaturePath(2);
    auto signWith = [&](const std::string& keyName, int64_t expires) {
        std::string error;
        auto key =
            ParseSecretKey(ReadFileBytes(TrustKeys() + "/" + keyName + "/release.key"), &error);
        ASSERT_TRUE(key) << error;
        MinisignSignature signature =
            SignMessage(*key, ReadFileBytes(manifestPath), FormatReleaseStamp({1, expires}), "");
        WriteFileBytes(signaturePath, FormatSignatureFile(signature));
    };
    ContentManifest manifest = Manifest();
    auto readme = std::find_if(manifest.items.begin(), manifest.items.end(),
                               [](const ContentItem& item) { return item.path == "readme.txt"; });
    ASSERT_NE(readme, manifest.items.end());
    const std::string readmeBlob = server_.Root() + "/" + BlobPath(readme->parts.front().blob);
    const std::string honestBlob = ReadFileBytes(readmeBlob);
    const std::string honestSignature = ReadFileBytes(signaturePath);
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    struct Case {
        std::string name;
        std::function<void()> spoil;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"a blob whose bytes are not its name",
         [&] { WriteFileBytes(readmeBlob, CompressBlob("not the readme")); }, kDiffers,
         "SHA-256 it is named by"},
        {"a manifest signed with another key", [&] { signWith("stranger", now + 3600); },
         kUnchecked, "c52"},
        {"an expired manifest", [&] { signWith("signing", now - 1); }, kUnchecked, "c54"},
    };
    for (const Case& spoiled : cases) {
        SCOPED_TRACE(spoiled.name);
        WriteFileBytes(readmeBlob, honestBlob);
        WriteFileBytes(signaturePath, honestSignature);
        std::string dir = Install(spoiled.name);
        std::mt19937 unused;
        DeleteLoose(dir, unused);
        FlipBytes(dir + "/data.kaf", EntryOffset(dir, "data\\big.pak"), 2);
        std::map<std::string, std::string> before = ReadTree(dir);
        spoiled.spoil();

        RunResult run = RunConsole(environment_, dir, {});
        EXPECT_EQ(run.exitCode, spoiled.exitCode) << run.out << run.err;
        EXPECT_NE(run.err.find(spoiled.message), std::string::npos) << run.err;
        EXPECT_EQ(ReadTree(dir), before);
    }
}

// A repair killed before any of its file operations leaves a client that the next repair
// mends: the staged files are only renamed once whole, and the merge runs under its journal.
TEST_F(ContentStore, ARepairKilledAnywhereIsFinishedByTheNext) {
    auto damage = [&](const std::string& dir) {
        std::mt19937 random(7);
        DeleteLoose(dir, random);
        FlipLoose(dir, random);
        FlipEntries(dir, random);
    };
    std::string reference = Install("reference");
    damage(reference);
    std::string log = scratch_ + "/reference.log";
    ASSERT_EQ(RunConsole(environment_, reference, {"KORVUN_FAULT_LOG=" + log}).exitCode, kIntact);
    std::string operations = ReadFileBytes(log);
    size_t count = static_cast<size_t>(std::count(operations.begin(), operations.end(), '\n'));
    ASSERT_GT(count, 10u);
    constexpr size_t kKills = 12;
    for (size_t kill = 0; kill < kKills; ++kill) {
        size_t at = 1 + kill * count / kKills;
        SCOPED_TRACE("killed before file operation " + std::to_string(at));
        std::string dir = Install("killed-" + std::to_string(at));
        damage(dir);
        RunResult killed = RunConsole(
            environment_, dir, {"KORVUN_FAULT_AT=" + std::to_string(at), "KORVUN_FAULT_MODE=kill"});
        EXPECT_EQ(killed.signal, SIGKILL) << killed.out << killed.err;
        RunResult next = RunConsole(environment_, dir, {});
        EXPECT_EQ(next.exitCode, kIntact) << next.out << next.err;
        std::string output;
        EXPECT_TRUE(ClientVerifyPasses(dir, tree_, &output)) << output;
    }
}

// The plain run, without --repair: where it would end with the advice to install the client
// again or on a missing archive, it repairs from the store first (installs, in an empty
// folder) and ends with the client at the release.
TEST_F(ContentStore, ARunRepairsInsteadOfGivingUpAndInstallsIntoAnEmptyFolder) {
    for (const std::vector<std::string>& step :
         {std::vector<std::string>{"release", "init", server_.Root(), "--client-version", "2"},
          {"release", "sign", server_.Root(), "--key", TrustKeys() + "/signing/release.key"}}) {
        std::vector<std::string> args{ToolProgram()};
        args.insert(args.end(), step.begin(), step.end());
        RunResult done = RunProgram(args);
        ASSERT_EQ(done.exitCode, 0) << done.out << done.err;
    }
    environment_.SetArguments({});
    const std::vector<std::pair<std::string, Damage>> cases = {
        {"garbage CurrentVersion", GarbageVersion},
        {"deleted data.kaf", DeleteDataFile},
        {"a folder with only UpdaterURL.txt and CONFIG.ini",
         [](const std::string& dir, std::mt19937&) {
             std::string address = ReadFileBytes(dir + "/UpdaterURL.txt");
             std::string config = ReadFileBytes(dir + "/CONFIG.ini");
             RemoveTree(dir);
             WriteFileBytes(dir + "/UpdaterURL.txt", address);
             WriteFileBytes(dir + "/CONFIG.ini", config);
             return std::vector<Touched>{};
         }},
    };
    std::mt19937 random(2502);
    for (const auto& [name, damage] : cases) {
        SCOPED_TRACE(name);
        std::string dir = Install(std::to_string(random()));
        damage(dir, random);
        RunResult run = RunConsole(environment_, dir, {});
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(LastStatus(run.out), "Completed") << run.out;
        std::string output;
        EXPECT_TRUE(ClientVerifyPasses(dir, tree_, &output)) << output;
        EXPECT_EQ(ReadCurrentVersion(dir), "2");
    }
}

}  // namespace
}  // namespace korvun::test
