#include "platform/win_path.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScratchDir;
using test::WriteFileBytes;

class NativePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteFileBytes(dir / "Game.exe", "MZ");
        WriteFileBytes(dir / "data/x.txt", "x");
        WriteFileBytes(dir /
                           "\xC3\x9C"
                           "ber.txt",
                       "u");  // "Über.txt"
    }
    ScratchDir dir;
};

TEST_F(NativePathTest, ExistingNamesResolveIgnoringCase) {
    EXPECT_EQ(NativePath(dir.path() + "\\game.exe"), dir / "Game.exe");
    EXPECT_EQ(NativePath(dir.path() + "\\Data\\X.txt"), dir / "data/x.txt");
    EXPECT_EQ(NativePath(dir.path() + "/DATA/X.TXT"), dir / "data/x.txt");
    EXPECT_EQ(NativePath(dir.path() + "\\\xC3\xBC"
                                      "BER.TXT"),
              dir /
                  "\xC3\x9C"
                  "ber.txt");
    EXPECT_EQ(NativePath(dir.path() + "\\DATA\\"), dir / "data/");
}

TEST_F(NativePathTest, NewComponentsKeepTheGivenCase) {
    EXPECT_EQ(NativePath(dir.path() + "\\DATA\\New\\File.TXT"), dir / "data/New/File.TXT");
    EXPECT_EQ(NativePath(dir.path() + "\\Other\\data\\x.txt"), dir / "Other/data/x.txt");
    EXPECT_EQ(NativePath(dir.path() + "\\game.exe\\x"), dir / "Game.exe/x");
}

TEST_F(NativePathTest, RelativeWindowsNamesBecomeNative) {
    test::ScopedCwd cwd(dir.path());
    EXPECT_EQ(NativePath(".\\GAME.EXE"), "./Game.exe");
    EXPECT_EQ(NativePath("Data\\X.txt"), "data/x.txt");
    EXPECT_EQ(NativePath("a\\b\\c"), "a/b/c");
    EXPECT_EQ(NativePath(".\\Data\\..\\game.exe"), "./data/../Game.exe");
    EXPECT_EQ(NativePath("./data/x.txt"), "./data/x.txt");
}

// Only a case-sensitive file system can hold names that differ in case; the exact one wins,
// otherwise the choice must not depend on the directory's order.
TEST_F(NativePathTest, ExactMatchIsPreferredAmongTwins) {
    WriteFileBytes(dir / "Readme", "1");
    WriteFileBytes(dir / "README", "2");
    EXPECT_EQ(NativePath(dir.path() + "\\Readme"), dir / "Readme");
    EXPECT_EQ(NativePath(dir.path() + "\\README"), dir / "README");
    EXPECT_EQ(NativePath(dir.path() + "\\readme"), dir / "README");
}

}  // namespace
}  // namespace korvun
