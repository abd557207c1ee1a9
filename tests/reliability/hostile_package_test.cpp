// Hostile packages served as a real update: every one must end the run with "Extraction
// Failed" (c12), write nothing outside the game directory (a sentinel directory and a file
// beside it are watched), and leave the recorded version where it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "reliability/release_fixture.h"
#include "support/nginx_fixture.h"
#include "support/zip_test_packages.h"
#include "zip/portable_names.h"

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

// A name stored as UTF-8 (general-purpose bit 11), so that no code page conversion applies.
RawEntry Utf8File(const std::string& name, const std::string& data) {
    RawEntry entry = File(name, data);
    entry.flags = 0x0800;
    return entry;
}

// A directory entry made on Unix with the given mode.
RawEntry UnixFolder(const std::string& name, uint32_t mode) {
    RawEntry entry = File(name, "", 0);
    entry.versionMadeBy = kUnixMadeBy;
    entry.externalAttributes = ((040000u | mode) << 16) | 0x10;
    return entry;
}

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
    // Names that differ as stored but land on one file: the second would replace the first.
    add("duplicate_dot_slash", Build({File("x.txt", "first\n"), File("./x.txt", kPayload)}));
    add("duplicate_leading_slash", Build({File("x.txt", "first\n"), File("/x.txt", kPayload)}));
    add("duplicate_drive", Build({File("x.txt", "first\n"), File("C:x.txt", kPayload)}));
    add("duplicate_double_separator",
        Build({File("d/x.txt", "first\n"), File("d//x.txt", kPayload)}));
    add("duplicate_non_ascii_case",
        Build({Utf8File("\xC3\x84.txt", "first\n"), Utf8File("\xC3\xA4.txt", kPayload)}));
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
    RunResult RunWith(const std::string& bytes, std::string& caseDir, bool install = true) {
        caseDir = scratch_ + "/case";
        if (install) {
            RemoveTree(caseDir);
            InstallClient(versions_.front(), 1, caseDir + "/game", server_.Address());
        }
        WriteFileBytes(caseDir + "/sentinel/keep.txt", "sentinel\n");
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

// A folder entry over an existing file was "extracted" by changing the file's mode (0 for
// data.kaf, 0777 for a loose file) and the run completed.
TEST_F(HostilePackages, FolderEntryOverAFileFailsAndKeepsTheFileMode) {
    const std::string loose = versions_.front().loose.begin()->first;
    for (const auto& [name, mode] : {std::pair<std::string, uint32_t>{"data.kaf/", 0},
                                     std::pair<std::string, uint32_t>{loose + "/", 0777}}) {
        SCOPED_TRACE(name);
        std::string caseDir;
        RemoveTree(scratch_ + "/case");
        InstallClient(versions_.front(), 1, scratch_ + "/case/game", server_.Address());
        std::string file = scratch_ + "/case/game/" + name.substr(0, name.size() - 1);
        ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
        RunResult run = RunWith(Build({File("harmless.txt", "fine\n"), UnixFolder(name, mode)}),
                                caseDir, false);
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(LastStatus(run.out), "Extraction Failedc12") << run.out;
        struct stat st;
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(ReadCurrentVersion(caseDir + "/game"), "1");
    }
}

// The long s folds to an ASCII S in upper case, yet it is another letter: "Verſion.ini" is a file
// of its own and must not replace the client's Version.ini.
TEST_F(HostilePackages, LettersThatOnlyUpperCaseAlikeStayApart) {
    std::string caseDir;
    RunResult run =
        RunWith(Build({Utf8File("Ver\xC5\xBFion.ini", kPayload),
                       Utf8File("\xC4\xB1ndex.txt", "dotless\n"), File("Index.txt", "plain\n")}),
                caseDir);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadCurrentVersion(caseDir + "/game"), "2");
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/Ver\xC5\xBFion.ini"), kPayload);
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/\xC4\xB1ndex.txt"), "dotless\n");
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/Index.txt"), "plain\n");
}

// Names that the updater folds into one file, though they differ beyond A-Z: the tools folded
// only A-Z, so `package build` shipped both and the updater wrote them into one file.
TEST_F(HostilePackages, TreesWithFoldedTwinsAreRefused) {
    const std::string trees = scratch_ + "/twins";
    RemoveTree(trees);
    ClientTree twins = versions_.front();
    twins.loose
        ["lang/\xC3\x9C"
         "ber.txt"] = "upper\n";
    twins.loose
        ["lang/\xC3\xBC"
         "ber.txt"] = "lower\n";
    WriteTree(versions_.front(), trees + "/v1");
    WriteTree(twins, trees + "/v2");
    RunResult built = RunProgram({ToolProgram(), "package", "build", "--from", trees + "/v1",
                                  "--to", trees + "/v2", "--number", "2", trees + "/out"});
    EXPECT_NE(built.exitCode, 0) << built.out;
    EXPECT_NE(built.err.find("differ only in letter case"), std::string::npos) << built.err;
    EXPECT_FALSE(fs::exists(trees + "/out/pk0002.patch"));
    std::string verify;
    EXPECT_FALSE(ClientVerifyPasses(trees + "/v1", trees + "/v2", &verify));
    EXPECT_NE(verify.find("differ only in letter case"), std::string::npos) << verify;
    RemoveTree(trees);
}

// Names Windows cannot hold as given (devices, a trailing dot or space, a stream after ':', a
// path beyond the system's limit) were extracted after the entries before them, and on Windows
// written to a device, a stream of another file or a file of another name. Both builds refuse
// such a package before anything is written; `package build` refuses such a tree.
TEST_F(HostilePackages, WindowsOnlyNamesAreRefusedBeforeAnythingIsWritten) {
    std::string longPath;
    while (longPath.size() <= LongestNativePath()) longPath += std::string(200, 'l') + "/";
    for (const std::string& name :
         {std::string("CON"), std::string("sub/aux.txt"), std::string("Nul.tar.gz"),
          std::string("com1"), std::string("LPT9.log"), std::string("prn .txt"),
          std::string("folder./x.txt"), std::string("x.txt."), std::string("x.txt "),
          std::string("x.txt:stream"), std::string("ab:c/x.txt"), longPath + "x.txt"}) {
        SCOPED_TRACE(name.substr(0, 40));
        std::string caseDir;
        RunResult run =
            RunWith(Build({File("first.txt", "first\n"), File(name, kPayload)}), caseDir);
        ASSERT_EQ(run.signal, 0) << run.err;
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(LastStatus(run.out), "Extraction Failedc12") << run.out;
        EXPECT_FALSE(fs::exists(caseDir + "/game/first.txt"));
        EXPECT_EQ(ReadCurrentVersion(caseDir + "/game"), "1");
    }

    const std::string trees = scratch_ + "/windows-names";
    ClientTree named = versions_.front();
    named.loose["docs/aux.txt"] = "a device on Windows\n";
    WriteTree(versions_.front(), trees + "/v1");
    WriteTree(named, trees + "/v2");
    RunResult built = RunProgram({ToolProgram(), "package", "build", "--from", trees + "/v1",
                                  "--to", trees + "/v2", "--number", "2", trees + "/out"});
    EXPECT_NE(built.exitCode, 0) << built.out;
    EXPECT_NE(built.err.find("a name that Windows cannot hold: docs/aux.txt"), std::string::npos)
        << built.err;
    EXPECT_FALSE(fs::exists(trees + "/out/pk0002.patch"));
    RemoveTree(trees);
}

// A legal package of scale: 20,000 new files in one folder, and one name 2,000 folders deep
// (about 4 KB, still within the system's path limit). Case-insensitive lookups that scanned the
// folder for each new file, or rebuilt every prefix of the deep name, did not end in a minute.
TEST_F(HostilePackages, CrowdedFoldersAndDeepNamesExtract) {
    constexpr int kCrowd = 20000;
    constexpr int kDepth = 2000;
    std::vector<LibzipEntry> entries;
    for (int i = 0; i < kCrowd; ++i) {
        entries.push_back({"crowd/f" + std::to_string(i) + ".txt", std::string(1, 'a' + i % 26)});
    }
    std::string deep;
    for (int i = 0; i < kDepth; ++i) deep += "a/";
    entries.push_back({deep + "x.txt", "deep\n"});
    const std::string package = scratch_ + "/scale.patch";
    WriteWithLibzip(package, entries);

    std::string caseDir;
    RunResult run = RunWith(ReadFileBytes(package), caseDir);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadCurrentVersion(caseDir + "/game"), "2");
    size_t count = 0;
    for (const auto& item : fs::directory_iterator(caseDir + "/game/crowd")) {
        count += item.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(count, static_cast<size_t>(kCrowd));
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/crowd/f12345.txt"), std::string(1, 'a' + 12345 % 26));
    EXPECT_EQ(ReadFileBytes(caseDir + "/game/" + deep + "x.txt"), "deep\n");
    RemoveTree(caseDir);
}

}  // namespace
}  // namespace korvun::test
