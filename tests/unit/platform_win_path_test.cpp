#include "platform/win_path.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScratchDir;
using test::WriteFileWithMode;

class NativePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFileWithMode(dir / "Game.exe", "MZ");
        WriteFileWithMode(dir / "data/x.txt", "x");
        WriteFileWithMode(dir /
                              "\xC3\x9C"
                              "ber.txt",
                          "u");  // "Über.txt"
    }
    ScratchDir dir;
};

TEST_F(NativePathTest, ExistingNamesResolveIgnoringCase) {
    EXPECT_EQ(NativePath(dir.Path() + "\\game.exe"), dir / "Game.exe");
    EXPECT_EQ(NativePath(dir.Path() + "\\Data\\X.txt"), dir / "data/x.txt");
    EXPECT_EQ(NativePath(dir.Path() + "/DATA/X.TXT"), dir / "data/x.txt");
    EXPECT_EQ(NativePath(dir.Path() + "\\\xC3\xBC"
                                      "BER.TXT"),
              dir /
                  "\xC3\x9C"
                  "ber.txt");
    EXPECT_EQ(NativePath(dir.Path() + "\\DATA\\"), dir / "data/");
}

TEST_F(NativePathTest, NewComponentsKeepTheGivenCase) {
    EXPECT_EQ(NativePath(dir.Path() + "\\DATA\\New\\File.TXT"), dir / "data/New/File.TXT");
    EXPECT_EQ(NativePath(dir.Path() + "\\Other\\data\\x.txt"), dir / "Other/data/x.txt");
    EXPECT_EQ(NativePath(dir.Path() + "\\game.exe\\x"), dir / "Game.exe/x");
}

TEST_F(NativePathTest, RelativeWindowsNamesBecomeNative) {
    test::ScopedCwd cwd(dir.Path());
    EXPECT_EQ(NativePath(".\\GAME.EXE"), "./Game.exe");
    EXPECT_EQ(NativePath("Data\\X.txt"), "data/x.txt");
    EXPECT_EQ(NativePath("a\\b\\c"), "a/b/c");
    EXPECT_EQ(NativePath(".\\Data\\..\\game.exe"), "./data/../Game.exe");
    EXPECT_EQ(NativePath("./data/x.txt"), "./data/x.txt");
}

// Only a case-sensitive file system can hold names that differ in case; the exact one wins,
// otherwise the choice must not depend on the directory's order.
TEST_F(NativePathTest, ExactMatchIsPreferredAmongTwins) {
    WriteFileWithMode(dir / "Readme", "1");
    WriteFileWithMode(dir / "README", "2");
    EXPECT_EQ(NativePath(dir.Path() + "\\Readme"), dir / "Readme");
    EXPECT_EQ(NativePath(dir.Path() + "\\README"), dir / "README");
    EXPECT_EQ(NativePath(dir.Path() + "\\readme"), dir / "README");
}

}  // namespace
}  // namespace korvun
