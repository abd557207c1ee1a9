// release init / add / set-updater / withdraw-updater on a server directory.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

class Release : public ::testing::Test {
  protected:
    void SetUp() override {
        for (unsigned n = 1; n <= 4; ++n) {
            MakeTree(Dir("v" + std::to_string(n)), {{"readme.txt", "release " + std::to_string(n)}},
                     {{"data/a.txt", "content " + std::to_string(n)}});
        }
        fs::create_directories(Dir("out"));
        for (unsigned n = 2; n <= 4; ++n) {
            RunResult built =
                Tool({"package", "build", "--from", Dir("v" + std::to_string(n - 1)), "--to",
                      Dir("v" + std::to_string(n)), "--number", std::to_string(n), Dir("out")});
            ASSERT_EQ(built.status, 0) << built.output;
        }
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }
    std::string Built(unsigned n) const {
        return Dir("out") + "/pk000" + std::to_string(n) + ".patch";
    }
    std::string Published(unsigned n) const {
        return Dir("server") + "/patch/patch/pk000" + std::to_string(n) + ".patch";
    }
    std::string VersionFile() const {
        return ReadFileBytes(Dir("server") + "/patch/UpdateVersion.ini");
    }

    TempDirectory work_{"korvun-release"};
};

TEST_F(Release, InitThenAddPublishesInOrderAndAnnouncesTheNewest) {
    RunResult init = Tool({"release", "init", Dir("server")});
    ASSERT_EQ(init.status, 0) << init.output;
    EXPECT_EQ(VersionFile(),
              "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=20\r\nPatchFileVersion=1\r\n");
    EXPECT_NE(ReadFileBytes(Dir("server") + "/notice/index.html").find("<html"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(Dir("server") + "/patch/patch"));

    RunResult added = Tool({"release", "add", Dir("server"), Built(3), Built(2)});
    ASSERT_EQ(added.status, 0) << added.output;
    EXPECT_NE(VersionFile().find("PatchFileVersion=3\r\n"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(Published(2)), ReadFileBytes(Built(2)));
    EXPECT_EQ(ReadFileBytes(Published(3)), ReadFileBytes(Built(3)));

    // init again with the same client version changes nothing; another version is refused.
    EXPECT_EQ(Tool({"release", "init", Dir("server")}).status, 0);
    EXPECT_EQ(Tool({"release", "init", Dir("server"), "--client-version", "7"}).status, 1);
    EXPECT_NE(VersionFile().find("PatchFileVersion=3\r\n"), std::string::npos);
}

TEST_F(Release, RefusesGapsOverwritesAndDamagedPackagesWithoutChangingAnything) {
    ASSERT_EQ(Tool({"release", "init", Dir("server")}).status, 0);
    const std::string before = VersionFile();

    RunResult gap = Tool({"release", "add", Dir("server"), Built(3)});
    EXPECT_EQ(gap.status, 1);
    EXPECT_NE(gap.output.find("package 2 is missing"), std::string::npos) << gap.output;
    EXPECT_FALSE(fs::exists(Published(3)));

    // A damaged package is refused before anything is published, also the good one before it.
    std::string damagedDir = Dir("damaged");
    fs::create_directories(damagedDir);
    std::string damaged = ReadFileBytes(Built(3));
    WriteFileBytes(damagedDir + "/pk0003.patch", damaged.substr(0, damaged.size() / 2));
    RunResult bad = Tool({"release", "add", Dir("server"), Built(2), damagedDir + "/pk0003.patch"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_FALSE(fs::exists(Published(2)));

    fs::copy_file(Built(2), Dir("patch2.zip"));
    EXPECT_EQ(Tool({"release", "add", Dir("server"), Dir("patch2.zip")}).status, 1);
    EXPECT_EQ(VersionFile(), before);

    ASSERT_EQ(Tool({"release", "add", Dir("server"), Built(2)}).status, 0);
    // Running a completed add again changes nothing and succeeds; another package under a
    // published number is refused.
    const std::string announced = VersionFile();
    RunResult again = Tool({"release", "add", Dir("server"), Built(2)});
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("already published"), std::string::npos) << again.output;
    EXPECT_EQ(VersionFile(), announced);
    fs::create_directories(Dir("other"));
    fs::copy_file(Built(3), Dir("other/pk0002.patch"));
    RunResult replaced = Tool({"release", "add", Dir("server"), Dir("other/pk0002.patch")});
    EXPECT_EQ(replaced.status, 1);
    EXPECT_NE(replaced.output.find("published packages never change"), std::string::npos)
        << replaced.output;
    EXPECT_EQ(ReadFileBytes(Published(2)), ReadFileBytes(Built(2)));

    // A package that differs from one lying unannounced on the server is not overwritten;
    // the same one (left by an interrupted add) is taken as it is.
    WriteFileBytes(Published(3), "something else");
    EXPECT_EQ(Tool({"release", "add", Dir("server"), Built(3)}).status, 1);
    EXPECT_EQ(ReadFileBytes(Published(3)), "something else");
    fs::remove(Published(3));
    fs::copy_file(Built(3), Published(3));
    RunResult resumed = Tool({"release", "add", Dir("server"), Built(3), Built(4)});
    ASSERT_EQ(resumed.status, 0) << resumed.output;
    EXPECT_NE(VersionFile().find("PatchFileVersion=4\r\n"), std::string::npos);
}

TEST_F(Release, SetUpdaterRaisesUpdaterVersionAboveTwentyAndWithdrawLowersIt) {
    WriteFileBytes(Dir("updater.exe"), "MZ new updater");
    EXPECT_EQ(Tool({"release", "set-updater", Dir("server"), Dir("updater.exe")}).status, 2);
    ASSERT_EQ(Tool({"release", "init", Dir("server")}).status, 0);

    RunResult set = Tool({"release", "set-updater", Dir("server"), Dir("updater.exe")});
    ASSERT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(ReadFileBytes(Dir("server") + "/Korvun/new_updater.exe"), "MZ new updater");
    EXPECT_NE(VersionFile().find("UpdaterVersion=21\r\n"), std::string::npos);
    ASSERT_EQ(Tool({"release", "set-updater", Dir("server"), Dir("updater.exe")}).status, 0);
    EXPECT_NE(VersionFile().find("UpdaterVersion=22\r\n"), std::string::npos);
    EXPECT_EQ(Tool({"release", "set-updater", Dir("server"), Dir("updater.exe"),
                    "--updater-version", "20"})
                  .status,
              1);

    WriteFileBytes(Dir("test.exe"), "MZ test build");
    ASSERT_EQ(Tool({"release", "set-updater", Dir("server"), Dir("test.exe"), "--test"}).status, 0);
    EXPECT_EQ(ReadFileBytes(Dir("server") + "/Korvun/test_updater.exe"), "MZ test build");
    EXPECT_NE(VersionFile().find("UpdaterVersion=22\r\n"), std::string::npos);

    ASSERT_EQ(Tool({"release", "withdraw-updater", Dir("server")}).status, 0);
    EXPECT_NE(VersionFile().find("UpdaterVersion=20\r\n"), std::string::npos);
    EXPECT_NE(VersionFile().find("PatchFileVersion=1\r\n"), std::string::npos);
}

}  // namespace
}  // namespace korvun::test
