// Where stored names land: below the destination always, refused when they would leave it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/stop_event.h"
#include "support/recording_progress.h"
#include "support/zip_test_packages.h"
#include "unit/platform_test_helpers.h"
#include "zip/extract_package.h"
#include "zip/zip_paths.h"

namespace korvun {
namespace {

using test::BuildRawPackage;
using test::ScratchDir;
using test::TreeContents;

// A destination inside a parent that holds nothing else, so anything written outside the
// destination shows up in the parent.
class ZipNames : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(Dest());
        std::filesystem::create_directories(Outside());
    }
    std::string Dest() const { return dir_ / "root/game"; }
    std::string Outside() const { return dir_ / "root/outside"; }
    ExtractResult ExtractRaw(const std::vector<test::RawEntry>& entries) {
        test::WriteFileBytes(dir_ / "pk.zip", BuildRawPackage(entries).bytes);
        test::RecordingProgress progress;
        return ExtractPackage(dir_ / "pk.zip", Dest(), progress);
    }
    // Everything below root/ except the destination's own tree.
    std::map<std::string, std::string> OutsideTree() const {
        auto tree = TreeContents(dir_ / "root");
        std::erase_if(tree, [](const auto& item) { return item.first.rfind("game", 0) == 0; });
        return tree;
    }

    ScratchDir dir_;
};

TEST_F(ZipNames, NamesWithDotDotAreRefusedAndWriteNothingOutside) {
    const auto before = OutsideTree();
    for (const std::string name :
         {"../evil.txt", "..\\evil.txt", "a/../../evil.txt", "a\\..\\..\\evil.txt", "..",
          "sub/../x.txt", "C:..\\evil.txt", "/../outside/evil.txt", "ok/..\\../outside/e.txt"}) {
        EXPECT_EQ(ExtractRaw({{.name = "first.txt", .data = "1"}, {.name = name, .data = "evil"}}),
                  ExtractResult::Failed)
            << name;
        EXPECT_EQ(OutsideTree(), before) << name;
    }
    // Directory entries are refused alike.
    EXPECT_EQ(ExtractRaw({{.name = "../newdir/", .data = "", .externalAttributes = 0x10}}),
              ExtractResult::Failed);
    EXPECT_EQ(OutsideTree(), before);
    // A NUL byte would cut the name short at the file system: refused.
    EXPECT_EQ(ExtractRaw({{.name = std::string("a.txt\0../../x", 13), .data = "x"}}),
              ExtractResult::Failed);
    EXPECT_EQ(OutsideTree(), before);
}

TEST_F(ZipNames, SymbolicLinksLeavingTheDestinationAreNotFollowed) {
    std::filesystem::create_directory_symlink(Outside(), Dest() + "/link");
    std::filesystem::create_symlink(Outside() + "/target.txt", Dest() + "/file-link");
    std::filesystem::create_symlink("/nonexistent/dangling", Dest() + "/dangling");
    test::WriteFileBytes(Outside() + "/target.txt", "untouched");
    const auto before = OutsideTree();
    for (const std::string name : {"link/x.txt", "LINK\\x.txt", "link/", "file-link", "File-Link",
                                   "link/sub/deep.txt", "dangling"}) {
        const uint32_t attributes = name.back() == '/' ? 0x10 : 0x20;
        EXPECT_EQ(ExtractRaw({{.name = name, .data = "evil", .externalAttributes = attributes}}),
                  ExtractResult::Failed)
            << name;
        EXPECT_EQ(OutsideTree(), before) << name;
    }
}

TEST_F(ZipNames, SymbolicLinksInsideTheDestinationAreUsed) {
    std::filesystem::create_directories(Dest() + "/real");
    std::filesystem::create_directory_symlink("real", Dest() + "/alias");
    EXPECT_EQ(ExtractRaw({{.name = "alias/x.txt", .data = "through"}}), ExtractResult::Done);
    EXPECT_EQ(test::ReadFileBytes(Dest() + "/real/x.txt"), "through");
}

TEST_F(ZipNames, DrivesAndLeadingSeparatorsLandBelowTheDestination) {
    EXPECT_EQ(ExtractRaw({{.name = "C:\\Windows\\drive.txt", .data = "1"},
                          {.name = "\\\\lead\\back.txt", .data = "2"},
                          {.name = "/abs/slash.txt", .data = "3"},
                          {.name = "D:rel.txt", .data = "4"},
                          {.name = "./dot/./x.txt", .data = "5"}}),
              ExtractResult::Done);
    auto tree = TreeContents(Dest());
    EXPECT_EQ(tree["Windows/drive.txt"], "1");
    EXPECT_EQ(tree["lead/back.txt"], "2");
    EXPECT_EQ(tree["abs/slash.txt"], "3");
    EXPECT_EQ(tree["rel.txt"], "4");
    EXPECT_EQ(tree["dot/x.txt"], "5");
    EXPECT_TRUE(OutsideTree().empty() || OutsideTree().size() == 1);  // only "outside/"
}

TEST_F(ZipNames, TheDestinationItselfKeepsItsMode) {
    ::chmod(Dest().c_str(), 0750);
    EXPECT_EQ(ExtractRaw({{.name = "/",
                           .data = "",
                           .versionMadeBy = 0x0314,
                           .externalAttributes = (040777u << 16) | 0x10}}),
              ExtractResult::Done);
    struct stat st;
    ASSERT_EQ(::stat(Dest().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    // A file entry with no name left has nowhere to go.
    EXPECT_EQ(ExtractRaw({{.name = "C:", .data = "x"}}), ExtractResult::Failed);
}

TEST_F(ZipNames, UnixSymbolicLinkEntriesBecomePlainFiles) {
    test::WriteWithLibzip(dir_ / "links.zip", {{.name = "link",
                                                .data = "/etc/passwd",
                                                .deflate = false,
                                                .host = 3,
                                                .externalAttributes = 0120777u << 16}});
    test::RecordingProgress progress;
    EXPECT_EQ(ExtractPackage(dir_ / "links.zip", Dest(), progress), ExtractResult::Done);
    struct stat st;
    ASSERT_EQ(::lstat((Dest() + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test::ReadFileBytes(Dest() + "/link"), "/etc/passwd");
}

TEST_F(ZipNames, Cp437NamesBecomeUtf8FileNames) {
    test::ScopedEnv locale("LC_ALL", "C");
    EXPECT_EQ(ExtractRaw({{.name = "Donn\x82"
                                   "es\\\x8e"
                                   "cran.txt",
                           .data = "x"}}),
              ExtractResult::Done);
    EXPECT_EQ(test::ReadFileBytes(Dest() + "/Donn\xc3\xa9"
                                           "es/\xc3\x84"
                                           "cran.txt"),
              "x");
}

TEST(ZipPaths, PathKindAndMakeDirectoryPathLeaveTheCurrentDirectory) {
    ScratchDir dir;
    const auto cwd = std::filesystem::current_path();
    EXPECT_EQ(PathKind(dir.Path()), -1);
    EXPECT_EQ(PathKind(dir / "missing"), 0);
    test::WriteFileBytes(dir / "file", "x");
    EXPECT_EQ(PathKind(dir / "file"), 1);
    EXPECT_TRUE(MakeDirectoryPath(dir.Path() + "\\a\\b\\c\\"));
    EXPECT_EQ(PathKind(dir / "a/b/c"), -1);
    EXPECT_TRUE(MakeDirectoryPath(dir / "A/B/d"));  // existing parents match ignoring case
    EXPECT_EQ(PathKind(dir / "a/b/d"), -1);
    EXPECT_FALSE(MakeDirectoryPath(dir / "file/sub"));
    EXPECT_EQ(std::filesystem::current_path(), cwd);
}

}  // namespace
}  // namespace korvun
