// Hostile packages served as a real update: every one must end the run with "Extraction
// Failed" (c12), write nothing outside the game directory (a sentinel directory and a file
// beside it are watched), and leave the recorded version where it was.
#include <gtest/gtest.h>

#include <filesystem>

#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/zip_test_packages.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr uint16_t kUnixMadeBy = (3 << 8) | 20;
constexpr uint32_t kSymlinkAttributes = 0120777u << 16;

RawEntry File(const std::string& name, const std::string& data, uint16_t method = 8) {
    RawEntry entry;
    entry.name = name;
    entry.data = data;
    entry.method = method;
    return entry;
}

RawEntry Symlink(const std::string& name, const std::string& target) {
    RawEntry entry = File(name, target, 0);
    entry.versionMadeBy = kUnixMadeBy;
    entry.externalAttributes = kSymlinkAttributes;
    return entry;
}

const std::string kPayload = "written by a hostile package\n";

struct HostilePackage {
    std::string name;
    std::string bytes;
};

std::string Build(const std::vector<RawEntry>& entries) { return BuildRawPackage(entries).bytes; }

std::vector<HostilePackage> HostileCorpus() {
    std::vector<HostilePackage> corpus;
    auto add = [&](const std::string& name, const std::string& bytes) {
        corpus.push_back({name, bytes});
    };
    const RawEntry harmless = File("harmless.txt", "fine\n");

    add("dotdot_slash_start", Build({harmless, File("../sentinel/evil.txt", kPayload)}));
    add("dotdot_slash_middle", Build({File("data/../../sentinel/evil.txt", kPayload)}));
    add("dotdot_backslash_start", Build({File("..\\sentinel\\evil.txt", kPayload)}));
    add("dotdot_backslash_middle", Build({File("data\\..\\..\\sentinel\\evil.txt", kPayload)}));
    add("dotdot_beside_game", Build({File("../beside.txt", kPayload)}));
    add("dotdot_deep", Build({File("a/b/../../../sentinel/evil.txt", kPayload)}));
    add("drive_then_dotdot", Build({File("C:..\\sentinel\\evil.txt", kPayload)}));
    add("dotdot_directory_entry", [] {
        RawEntry directory = File("../sentinel/newdir/", "", 0);
        directory.externalAttributes = 0x10;
        return Build({directory});
    }());
    add("symlink_out_then_through",
        Build({Symlink("escape", "../sentinel"), File("escape/evil.txt", kPayload)}));
    add("symlink_absolute_then_through",
        Build({Symlink("abs", "/"), File("abs/tmp/korvun-hostile-evil.txt", kPayload)}));
    add("duplicate_names", Build({File("twice.txt", "first\n"), File("twice.txt", kPayload)}));
    add("duplicate_names_case",
        Build({File("Data/Twice.txt", "first\n"), File("data/twice.TXT", kPayload)}));
    add("overlapping_entries", [] {
        // Two central records share one local header and its data.
        RawPackage package = BuildRawPackage({File("aaaa.txt", kPayload), File("bbbb.txt", "x")});
        Put32(package.bytes, package.central[1] + 42, static_cast<uint32_t>(package.local[0]));
        Put32(package.bytes, package.central[1] + 16,
              Get32(package.bytes, package.central[0] + 16));
        Put32(package.bytes, package.central[1] + 20,
              Get32(package.bytes, package.central[0] + 20));
        Put32(package.bytes, package.central[1] + 24,
              Get32(package.bytes, package.central[0] + 24));
        return package.bytes;
    }());
    add("central_directory_past_end", [] {
        RawPackage package = BuildRawPackage({File("a.txt", kPayload)});
        Put32(package.bytes, package.end + 16, static_cast<uint32_t>(package.bytes.size() + 100));
        return package.bytes;
    }());
    add("compressed_size_overflow", [] {
        RawPackage package = BuildRawPackage({File("a.txt", kPayload)});
        Put32(package.bytes, package.central[0] + 20, 0xFFFFFFF0u);
        Put32(package.bytes, package.local[0] + 18, 0xFFFFFFF0u);
        return package.bytes;
    }());
    add("uncompressed_size_overflow", [] {
        RawPackage package = BuildRawPackage({File("a.txt", kPayload)});
        Put32(package.bytes, package.central[0] + 24, 0xFFFFFFFFu);
        Put32(package.bytes, package.local[0] + 22, 0xFFFFFFFFu);
        return package.bytes;
    }());
    add("local_offset_overflow", [] {
        RawPackage package = BuildRawPackage({File("a.txt", kPayload)});
        Put32(package.bytes, package.central[0] + 42, 0xFFFFFF00u);
        return package.bytes;
    }());
    add("wrong_crc", [] {
        RawPackage package = BuildRawPackage({File("a.txt", kPayload)});
        Put32(package.bytes, package.central[0] + 16, 0x12345678u);
        Put32(package.bytes, package.local[0] + 14, 0x12345678u);
        return package.bytes;
    }());
    add("truncated_file", [&] {
        std::string bytes = Build({File("a.txt", SampleData(20000, 3)), harmless});
        return bytes.substr(0, bytes.size() / 2);
    }());
    add("truncated_entry_data", [] {
        // The sizes promise more data than lies before the central directory.
        RawPackage package = BuildRawPackage({File("a.txt", SampleData(5000, 4), 0)});
        Put32(package.bytes, package.central[0] + 20, 9000);
        Put32(package.bytes, package.local[0] + 18, 9000);
        Put32(package.bytes, package.central[0] + 24, 9000);
        Put32(package.bytes, package.local[0] + 22, 9000);
        return package.bytes;
    }());
    add("invalid_deflate_stream", [] {
        RawPackage package = BuildRawPackage({File("a.txt", SampleData(3000, 5))});
        for (size_t i = 0; i < 16; ++i) package.bytes[package.local[0] + 30 + 5 + i] = '\xFF';
        return package.bytes;
    }());
    add("encrypted_entry", [&] {
        RawEntry entry = File("secret.txt", kPayload);
        entry.flags = 1;
        return Build({harmless, entry});
    }());
    add("zip_bomb_small_declared_size", [] {
        RawPackage package = BuildRawPackage({File("bomb.bin", std::string(8 << 20, '\0'))});
        Put32(package.bytes, package.central[0] + 24, 100);
        Put32(package.bytes, package.local[0] + 22, 100);
        return package.bytes;
    }());
    add("entry_count_above_records", [] {
        RawPackage package = BuildRawPackage({File("a.txt", kPayload)});
        Put16(package.bytes, package.end + 8, 3);
        Put16(package.bytes, package.end + 10, 3);
        return package.bytes;
    }());
    add("name_with_nul", Build({File(std::string("evil\0.txt", 9), kPayload)}));
    add("no_end_record", std::string(4096, 'P'));
    return corpus;
}

class HostilePackages : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch_ = MakeScratchDirectory("korvun-hostile-packages");
        environment_ = std::make_unique<ConsoleEnvironment>(scratch_);
        versions_ = GenerateVersions(1, 5);
        PublishRelease(versions_, server_.Root());
    }

    // Runs the updater on a client whose package 2 is `bytes`, in SCRATCH/case/game beside
    // SCRATCH/case/sentinel.
    RunResult RunWith(const std::string& bytes, std::string& caseDir) {
        caseDir = scratch_ + "/case";
        RemoveTree(caseDir);
        WriteFileBytes(caseDir + "/sentinel/keep.txt", "sentinel\n");
        InstallClient(versions_.front(), 1, caseDir + "/game", server_.Address());
        WriteFileBytes(server_.Root() + "/patch/patch/pk0002.patch", bytes);
        return RunConsole(*environment_, caseDir + "/game", {}, 60);
    }

    std::string scratch_;
    std::unique_ptr<ConsoleEnvironment> environment_;
    std::vector<ClientTree> versions_;
    NginxServer server_;
};

// Everything below caseDir except the game directory itself.
std::map<std::string, std::string> Outside(const std::string& caseDir) {
    std::map<std::string, std::string> outside;
    for (auto it = fs::recursive_directory_iterator(caseDir);
         it != fs::recursive_directory_iterator(); ++it) {
        std::string relative = fs::relative(it->path(), caseDir).string();
        if (relative == "game") {
            it.disable_recursion_pending();
            continue;
        }
        outside[relative] = it->is_regular_file() && !it->is_symlink()
                                ? ReadFileBytes(it->path().string())
                                : std::string("<not a file>");
    }
    return outside;
}

TEST_F(HostilePackages, EveryOneFailsWithC12AndWritesNothingOutside) {
    std::vector<HostilePackage> corpus = HostileCorpus();
    ASSERT_GE(corpus.size(), 20u);
    fs::remove("/tmp/korvun-hostile-evil.txt");
    for (const HostilePackage& package : corpus) {
        SCOPED_TRACE(package.name);
        std::string caseDir;
        RunResult run = RunWith(package.bytes, caseDir);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(LastStatus(run.out), "Extraction Failedc12") << run.out;
        std::map<std::string, std::string> outside = Outside(caseDir);
        std::map<std::string, std::string> expected = {{"sentinel", "<not a file>"},
                                                       {"sentinel/keep.txt", "sentinel\n"}};
        EXPECT_EQ(outside, expected);
        EXPECT_FALSE(fs::exists("/tmp/korvun-hostile-evil.txt"));
        EXPECT_EQ(ReadCurrentVersion(caseDir + "/game"), "1");
        EXPECT_EQ(ReadMarker(caseDir + "/game"), "EXTRACT_START");
        std::string check;
        EXPECT_TRUE(ArchiveCheckPasses(caseDir + "/game", &check)) << check;
    }
}

// Absolute and drive-letter names are not an escape: the drive and the leading separators are
// dropped and the file lands below the game directory.
TEST_F(HostilePackages, AbsoluteAndDriveNamesLandInsideTheGameDirectory) {
    std::string caseDir;
    RunResult run =
        RunWith(Build({File("/abs/unix.txt", "unix\n"), File("C:\\drive\\windows.txt", "windows\n"),
                       File("\\\\lead\\back.txt", "back\n")}),
                caseDir);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/abs/unix.txt"), "unix\n");
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/drive/windows.txt"), "windows\n");
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/lead/back.txt"), "back\n");
    EXPECT_FALSE(fs::exists("/abs/unix.txt"));
    EXPECT_EQ(ReadCurrentVersion(caseDir + "/game"), "2");
}

}  // namespace
}  // namespace korvun::test
