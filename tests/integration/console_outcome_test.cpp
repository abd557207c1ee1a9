// How a run ends before any package is applied: the local and server format checks, the
// reinstall states, a client ahead of the server, a gap in the server's packages, and a
// client that is already current.
#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

constexpr int kCompleted = 0, kFailed = 1, kReinstall = 2;

const std::string kMismatchBox =
    "Korvun Updater: The version does not match. Please install the client again from the "
    "homepage.c20\n";
const std::string kCorrupted =
    "Korvun Updater: The file has been corrupted caused by forced shutdown of the updator. "
    "Please install the client again.";

using OutcomeTest = UpdateScenario;

TEST_F(OutcomeTest, WrongLocalCheckVersionEndsBeforeAnyRequest) {
    PublishVersion(3, 1, 2);
    PublishPackage(2, {{"Data/new.txt", "new"}});
    WriteGameFile("Version.ini", "[Version]\r\nCheckVersion=2\r\nCurrentVersion=1\r\n");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kFailed);
    EXPECT_EQ(run.err, kMismatchBox);
    EXPECT_EQ(run.LastLine(), "Please install a new client.c20");
    EXPECT_EQ(Requests("/"), 0u);
    EXPECT_EQ(ReadGameFile("Version.ini"), "[Version]\r\nCheckVersion=2\r\nCurrentVersion=1\r\n");
}

TEST_F(OutcomeTest, MissingVersionFileIsAWrongCheckVersionAndIsNotCreated) {
    PublishVersion(3, 1, 2);
    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kFailed);
    EXPECT_EQ(run.err, kMismatchBox);
    EXPECT_EQ(Requests("/"), 0u);
    EXPECT_FALSE(GameFileExists("Version.ini"));
}

TEST_F(OutcomeTest, ServerCheckVersionOtherThanThreeLeavesACurrentClientAlone) {
    PublishVersion(2, 1, 5);
    for (unsigned n = 3; n <= 5; ++n) PublishPackage(n, {{"Data/x.txt", "x"}});
    WriteLocalVersion(2);

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Completed");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Requests("/patch/UpdateVersion.ini", 2), 2u);
    EXPECT_EQ(Requests("/patch/patch/"), 0u);
    EXPECT_EQ(LocalValue("CurrentVersion"), "2");
    EXPECT_FALSE(GameFileExists("UpdateVersion.ini"));
}

TEST_F(OutcomeTest, ServerWithoutCheckVersionAndClientWithoutVersionNeedsAReinstall) {
    server_.WriteFile("patch/UpdateVersion.ini",
                      "[Version]\r\nUpdaterVersion=1\r\nPatchFileVersion=4\r\n");
    WriteGameFile("Version.ini", "[Version]\r\nCheckVersion=3\r\n");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kReinstall) << run.out << run.err;
    EXPECT_EQ(run.err, kCorrupted + "c21\n");
    EXPECT_EQ(run.LastLine(), "Please install the client again.c05");
    EXPECT_EQ(Requests("/patch/patch/"), 0u);
    // A missing version is recorded as 0.
    EXPECT_EQ(LocalValue("CurrentVersion"), "0");
}

TEST_F(OutcomeTest, ClientWithoutVersionNeedsAReinstallFromAServerThatAllowsPatching) {
    PublishVersion(3, 1, 4);
    PublishPackage(2, {{"Data/x.txt", "x"}});
    WriteLocalVersion(std::nullopt);

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kReinstall) << run.out << run.err;
    EXPECT_EQ(run.err, kCorrupted + "c22\n");
    EXPECT_EQ(run.LastLine(), "Please install the client again.c05");
    EXPECT_EQ(Requests("/patch/patch/"), 0u);
}

TEST_F(OutcomeTest, InterruptedArchiveUpdateNeedsAReinstallAndKeepsTheRecord) {
    PublishVersion(3, 1, 4);
    PublishPackage(4, {{"Data/x.txt", "x"}});
    WriteLocalVersion(3, "update_start");
    std::string before = ReadGameFile("Version.ini");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kReinstall) << run.out << run.err;
    EXPECT_EQ(run.err, kCorrupted + "c22\n");
    EXPECT_EQ(Requests("/patch/patch/"), 0u);
    EXPECT_EQ(ReadGameFile("Version.ini"), before);
}

TEST_F(OutcomeTest, ClientAheadOfTheServerCompletesWithoutDownloading) {
    PublishVersion(3, 1, 3);
    PublishPackage(3, {{"Data/x.txt", "x"}});
    WriteLocalVersion(5);

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Completed");
    EXPECT_EQ(Requests("/patch/patch/"), 0u);
    // Lowered for the run only.
    EXPECT_EQ(LocalValue("CurrentVersion"), "5");
}

TEST_F(OutcomeTest, GapInThePackagesDownloadsNothing) {
    PublishVersion(3, 1, 4);
    PublishPackage(2, {{"Data/two.txt", "two"}});
    PublishPackage(4, {{"Data/four.txt", "four"}});
    WriteLocalVersion(1);

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Completed");
    // One size query each up to the gap, none after it, and no download.
    EXPECT_EQ(Requests("/patch/patch/pk0002.patch", 1), 1u);
    EXPECT_EQ(Requests("/patch/patch/pk0003.patch", 1), 1u);
    EXPECT_EQ(Requests("/patch/patch/pk0004.patch"), 0u);
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    EXPECT_FALSE(GameFileExists("Data"));
    EXPECT_EQ(LocalValue("CurrentVersion"), "1");
}

TEST_F(OutcomeTest, CurrentClientMakesOneVersionRequestAndNothingElse) {
    PublishVersion(3, 1, 3);
    PublishPackage(3, {{"Data/x.txt", "x"}});
    WriteLocalVersion(3, "UPDATE_END");
    InstallGameArchive({{"Data\\a.dds", "alpha"}});
    std::string index = ReadGameFile("data.kah");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Completed");
    EXPECT_EQ(run.err, "");
    // One fetch of the version file (its size, then its content), no second attempt, and
    // not a single package request.
    EXPECT_EQ(Requests("/patch/UpdateVersion.ini", 2), 2u);
    EXPECT_EQ(server_.AccessLog().size(), 2u);
    // Nothing merged and no deletion list: the archive is not touched.
    EXPECT_EQ(ReadGameFile("data.kah"), index);
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
}

// A run killed after the last package was recorded but before the deletion list was applied
// leaves a current client with delete.lst; the next run applies it.
TEST_F(OutcomeTest, CurrentClientStillAppliesALeftOverDeletionList) {
    PublishVersion(3, 1, 3);
    WriteLocalVersion(3, "UPDATE_END");
    InstallGameArchive({{"Data\\a.dds", "alpha"}, {"Data\\gone.dds", "gone"}, {"b.txt", "b"}});
    WriteGameFile("delete.lst", "Data\\gone.dds\r\nB.TXT\tno longer used\r\n");
    WriteGameFile("b.txt", "a loose file of the same name stays");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Completed");
    EXPECT_EQ(GameArchiveContents(), (FileTree{{"Data/a.dds", "alpha"}}));
    EXPECT_FALSE(GameFileExists("delete.lst"));
    EXPECT_TRUE(GameFileExists("b.txt"));
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
    EXPECT_EQ(LocalValue("CurrentVersion"), "3");
}

}  // namespace
}  // namespace korvun::test
