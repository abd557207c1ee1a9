// Delta packages end to end: built and published with korvun-tool, served by nginx, applied by
// the console. A client that takes them ends byte for byte where one that takes the full
// packages does; one whose files are not the release's takes the full package instead.
#include <signal.h>

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

// Text of many short words: it compresses like game data, not like noise.
std::string Words(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size) {
        size_t length = 2 + random() % 8;
        for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + random() % 16));
        text.push_back(' ');
    }
    text.resize(size);
    return text;
}

// The content at a version: every version overwrites a few bytes of the big files.
std::string Edited(std::string text, unsigned version) {
    for (unsigned v = 2; v <= version; ++v)
        text.replace(text.size() / 7 * v, 12, "edit-v" + std::to_string(v) + "-xx");
    return text;
}

class DeltaPackages : public ::testing::Test {
  protected:
    void SetUp() override {
        for (unsigned v = 1; v <= 3; ++v) {
            std::map<std::string, std::string> archive = {
                {"maps/big.map", Edited(Words(300000, 2), v)},
                {"ui/small.txt", "small v" + std::to_string(v)}};
            if (v > 1) archive["maps/new" + std::to_string(v) + ".map"] = Words(9000, v);
            MakeTree(Tree(v), {{"Game.exe", Edited(Words(150000, 1), v)}, {"readme.txt", "r"}},
                     archive);
        }
        fs::create_directories(Dir("packages"));
        fs::create_directories(Dir("full-only"));
        for (unsigned n = 2; n <= 3; ++n) {
            RunResult built = Tool({"package", "build", "--from", Tree(n - 1), "--to", Tree(n),
                                    "--number", std::to_string(n), "--delta", Dir("packages")});
            ASSERT_EQ(built.status, 0) << built.output;
            ASSERT_NE(built.output.find("rebuilt with the updater's code: OK"), std::string::npos)
                << built.output;
            std::string name = "/pk000" + std::to_string(n) + ".patch";
            fs::copy_file(Dir("packages") + name, Dir("full-only") + name);
        }
        Publish(full_, "full-only");
        Publish(delta_, "packages");
    }

    void Publish(const NginxServer& server, const std::string& packages) {
        ASSERT_EQ(Tool({"release", "init", server.Root()}).status, 0);
        RunResult added = Tool({"release", "add", server.Root(), Dir(packages) + "/pk0002.patch",
                                Dir(packages) + "/pk0003.patch"});
        ASSERT_EQ(added.status, 0) << added.output;
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }
    std::string Tree(unsigned v) const { return Dir("trees/v" + std::to_string(v)); }

    RunResult Update(const std::string& client, const std::string& console = KORVUN_CONSOLE_PATH) {
        return RunProgram(console, {"-C", client}, player_.Variables());
    }
    RunResult Verify(const std::string& client) {
        return Tool({"client", "verify", client, "--against", Tree(3)});
    }

    TempDirectory work_{"korvun-delta"};
    PlayerEnvironment player_{work_.Path()};
    NginxServer full_;
    NginxServer delta_;
};

TEST_F(DeltaPackages, ClientUpdatedWithDeltasIsByteIdenticalToOneUpdatedWithFullPackages) {
    MakeClient(Tree(1), Dir("full-client"), 1, full_.Address());
    MakeClient(Tree(1), Dir("delta-client"), 1, delta_.Address());
    ASSERT_EQ(Update(Dir("full-client")).status, 0);
    RunResult update = Update(Dir("delta-client"));
    ASSERT_EQ(update.status, 0) << update.output;

    for (const char* client : {"full-client", "delta-client"}) {
        RunResult verified = Verify(Dir(client));
        EXPECT_EQ(verified.status, 0) << client << "\n" << verified.output;
        EXPECT_EQ(VersionValue(Dir(client), "CurrentVersion"), "3");
    }
    for (const char* file : {"data.kah", "data.kaf", "Game.exe"}) {
        EXPECT_EQ(ReadFileBytes(Dir("full-client/") + file),
                  ReadFileBytes(Dir("delta-client/") + file))
            << file;
    }
    for (const char* left : {"pk0002.patch", "pk0003.patch", "pk0002.delta", "pk0003.delta"}) {
        EXPECT_FALSE(fs::exists(Dir("delta-client/") + left)) << left;
    }
    uint64_t fullBytes = full_.BodyBytesSent(".patch");
    // The size queries ask for one byte of each package; nothing more of them came.
    EXPECT_LE(delta_.BodyBytesSent(".patch"), 2u);
    EXPECT_GT(delta_.BodyBytesSent(".delta"), 0u);
    EXPECT_LT(delta_.BodyBytesSent(".delta") * 3, fullBytes);
}

TEST_F(DeltaPackages, DamagedBaseFallsBackToTheFullPackageAndCompletes) {
    MakeClient(Tree(1), Dir("client"), 1, delta_.Address());
    std::string game = ReadFileBytes(Dir("client/Game.exe"));
    game[100] ^= 1;
    WriteFileBytes(Dir("client/Game.exe"), game);

    RunResult update = Update(Dir("client"));
    ASSERT_EQ(update.status, 0) << update.output;
    RunResult verified = Verify(Dir("client"));
    EXPECT_EQ(verified.status, 0) << verified.output;
    // Package 2 came whole; package 3's bases were the release's again.
    EXPECT_GT(delta_.BodyBytesSent("pk0002.patch"), 1000u);
    EXPECT_LE(delta_.BodyBytesSent("pk0003.patch"), 1u);
    EXPECT_FALSE(fs::exists(Dir("client/pk0002.delta")));
}

TEST_F(DeltaPackages, RunKilledInTheMiddleOfARebuildIsCompletedByTheNextRun) {
    MakeClient(Tree(1), Dir("client"), 1, delta_.Address());
    std::map<std::string, std::string> killAfterOneEntry = player_.Variables();
    killAfterOneEntry["KORVUN_TEST_STOP_AT"] = "delta-entry-rebuilt:1";
    RunResult killed =
        RunProgram(KORVUN_TEST_CONSOLE_PATH, {"-C", Dir("client")}, killAfterOneEntry);
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.output;
    EXPECT_TRUE(fs::exists(Dir("client/pk0002.patch")));
    EXPECT_EQ(VersionValue(Dir("client"), "CurrentVersion"), "1");

    RunResult update = Update(Dir("client"));
    ASSERT_EQ(update.status, 0) << update.output;
    RunResult verified = Verify(Dir("client"));
    EXPECT_EQ(verified.status, 0) << verified.output;
    // Both runs took the deltas: of the packages only the size queries' single bytes came.
    EXPECT_LE(delta_.BodyBytesSent(".patch"), 4u);
}

// A flipped byte in a delta's payload: unsigned, the run takes the full package; signed, the
// release is refused before anything of the game changes.
TEST_F(DeltaPackages, TamperedDeltaFallsBackUnsignedAndIsRefusedSigned) {
    std::string deltaOnServer = delta_.Root() + "/patch/patch/pk0002.delta";
    std::string delta = ReadFileBytes(deltaOnServer);
    delta[delta.size() - 20] ^= 0x40;
    WriteFileBytes(deltaOnServer, delta);

    MakeClient(Tree(1), Dir("unsigned"), 1, delta_.Address());
    RunResult update = Update(Dir("unsigned"));
    ASSERT_EQ(update.status, 0) << update.output;
    EXPECT_EQ(Verify(Dir("unsigned")).status, 0);
    EXPECT_GT(delta_.BodyBytesSent("pk0002.patch"), 1000u);

    fs::remove(deltaOnServer);
    fs::copy_file(Dir("packages/pk0002.delta"), deltaOnServer);
    RunResult signing = Tool({"release", "sign", delta_.Root(), "--key",
                              std::string(KORVUN_TRUST_KEYS) + "/signing/release.key"});
    ASSERT_EQ(signing.status, 0) << signing.output;
    WriteFileBytes(deltaOnServer, delta);
    MakeClient(Tree(1), Dir("signed"), 1, delta_.Address());
    RunResult refused = Update(Dir("signed"), KORVUN_SIGNED_CONSOLE_PATH);
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_EQ(VersionValue(Dir("signed"), "CurrentVersion"), "1");
    for (const char* file : {"data.kah", "data.kaf", "Game.exe"}) {
        EXPECT_EQ(ReadFileBytes(Dir("signed/") + file), ReadFileBytes(Tree(1) + "/" + file))
            << file;
    }
    for (const char* left : {"pk0002.patch", "pk0002.delta", "update.kah", "update.kaf"}) {
        EXPECT_FALSE(fs::exists(Dir("signed/") + left)) << left;
    }
}

}  // namespace
}  // namespace korvun::test
