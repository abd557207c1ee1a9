// An updater built with its own version (25 here): it hands over only to a newer updater, and
// korvun-tool publishes it under the version it carries.
#include <sys/stat.h>

#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

const std::string kTool = KORVUN_TOOL_PATH;

class UpdaterVersionTest : public UpdateScenario {
  protected:
    UpdaterVersionTest() {
        server_.WriteFile("Korvun/new_updater.exe", "released updater build\n");
        WriteLocalVersion(1);
        PublishPackage(2, {{"Data/two.txt", "two"}});
        WriteGameFile("Game.exe",
                      "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + ArgumentsFile() + "'\n");
        chmod(GamePath("Game.exe").c_str(), 0755);
    }

    std::string ArgumentsFile() const { return root_.Path() + "/game-arguments.txt"; }

    ProgramResult Tool(std::vector<std::string> args) const {
        args.insert(args.begin(), kTool);
        return RunProgram(args, root_.Path());
    }
};

TEST_F(UpdaterVersionTest, HandsOverOnlyToANewerUpdaterAndPatchesOtherwise) {
    struct Case {
        int serverUpdaterVersion;
        bool handsOver;
    };
    for (Case c : {Case{22, false}, Case{25, false}, Case{26, true}}) {
        SCOPED_TRACE(c.serverUpdaterVersion);
        WriteLocalVersion(1);
        PublishVersion(3, c.serverUpdaterVersion, 2);
        ConsoleResult run = RunConsole();
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        if (c.handsOver) {
            WaitUntil([&] { return !ReadFileBytes(ArgumentsFile()).empty(); }, 10s);
            EXPECT_EQ(ReadFileBytes(ArgumentsFile()), "new updater\n");
            EXPECT_EQ(ReadGameFile("new_updater.exe"), "released updater build\n");
            EXPECT_EQ(LocalValue("CurrentVersion"), "1");
        } else {
            EXPECT_EQ(run.LastLine(), "Update Completed");
            EXPECT_EQ(ReadGameFile("Data/two.txt"), "two");
            EXPECT_EQ(LocalValue("CurrentVersion"), "2");
            EXPECT_EQ(Requests("/Korvun/"), 0u);
        }
    }
}

TEST_F(UpdaterVersionTest, ToolPublishesTheVersionTheProgramCarriesAndNoOlderOne) {
    ProgramResult version = RunProgram({KORVUN_CONSOLE_PATH, "--version"}, root_.Path());
    EXPECT_NE(version.out.find("Updater version: 25 "), std::string::npos) << version.out;

    const std::string root = server_.Root();
    PublishVersion(3, 20, 2);
    // The number asked for must be the one the program carries.
    ProgramResult mismatch =
        Tool({"release", "set-updater", root, KORVUN_CONSOLE_PATH, "--updater-version", "30"});
    EXPECT_EQ(mismatch.status, 1) << mismatch.out << mismatch.err;

    ProgramResult first = Tool({"release", "set-updater", root, KORVUN_CONSOLE_PATH});
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_NE(first.out.find("carries updater version 25\n"), std::string::npos) << first.out;
    EXPECT_NE(ReadFileBytes(root + "/patch/UpdateVersion.ini").find("UpdaterVersion=25\r\n"),
              std::string::npos);

    // Published once, the same version again would make no client fetch it.
    server_.WriteFile("Korvun/new_updater.exe", "released updater build\n");
    ProgramResult again = Tool({"release", "set-updater", root, KORVUN_CONSOLE_PATH});
    EXPECT_EQ(again.status, 1) << again.out << again.err;
    EXPECT_NE(again.err.find("not above the server's UpdaterVersion=25"), std::string::npos)
        << again.err;
    EXPECT_EQ(ReadFileBytes(root + "/Korvun/new_updater.exe"), "released updater build\n");

    // A program without a version is published as before, and says so.
    WriteGameFile("plain.exe", "MZ no marker here korvun-updater-version=\n");
    ProgramResult plain = Tool({"release", "set-updater", root, GamePath("plain.exe")});
    EXPECT_EQ(plain.status, 0) << plain.out << plain.err;
    EXPECT_NE(plain.out.find("carries no updater version"), std::string::npos) << plain.out;
    EXPECT_NE(ReadFileBytes(root + "/patch/UpdateVersion.ini").find("UpdaterVersion=26\r\n"),
              std::string::npos);
}

}  // namespace
}  // namespace korvun::test
