// Runs that download and apply packages: loose files, update archives merged into the game
// archive, the deletion list, and a run that cannot start its next package.
#include <sys/stat.h>

#include <filesystem>

#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCompleted = 0, kFailed = 1;

using PatchTest = UpdateScenario;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Bytes that do not repeat within an entry, so a misplaced region shows.
std::string Content(const std::string& label, size_t size) {
    std::string text = label + ":";
    uint32_t state = static_cast<uint32_t>(std::hash<std::string>{}(label));
    while (text.size() < size) {
        state = state * 1103515245u + 12345u;
        text.push_back(static_cast<char>(state >> 16));
    }
    return text;
}

TEST_F(PatchTest, ThreePackagesUpdateLooseFilesAndTheGameArchive) {
    const std::string a4 = Content("a v4", 300000), b3 = Content("b v3", 70000);
    InstallGameArchive({{"Data\\a.dds", Content("a v1", 5000)},
                        {"Data\\b.dds", Content("b v1", 8000)},
                        {"Data\\Item\\old.dds", "old item"},
                        {"readme.txt", "readme v1"}});
    WriteGameFile("data/Notes.txt", "notes v1");
    WriteGameFile("readme.txt", "a loose file that the deletion list must not touch");
    WriteLocalVersion(1, "UPDATE_END");
    PublishVersion(3, 1, 4);

    std::vector<PackageEntry> two =
        UpdateArchiveEntries({{"Data\\a.dds", Content("a v2", 6000)}, {"Data\\c.dds", "c v2"}});
    two.push_back({"Bin/tool.txt", "tool v2"});
    PublishPackage(2, two);
    std::vector<PackageEntry> three =
        UpdateArchiveEntries({{"Data\\b.dds", b3}, {"Data\\New\\d.dds", "d v3"}});
    three.push_back({"Data/notes.txt", "notes v3"});
    three.push_back({"Data/big.bin", Content("big", 2 << 20), false});
    PublishPackage(3, three);
    std::vector<PackageEntry> four = UpdateArchiveEntries({{"Data\\a.dds", a4}});
    four.push_back(
        {"delete.lst", "Data\\Item\\old.dds\tobsolete\r\nreadme.txt\r\nno\\such\\entry.dds\r\n"});
    four.push_back({"Bin/tool.txt", "tool v4"});
    PublishPackage(4, four);

    ConsoleResult run = RunConsole();
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Update Completed");
    EXPECT_EQ(run.err, "");
    for (const char* line :
         {"Download ready\n", "Downloading the file (1/3)\n", "Downloading the file (2/3)\n",
          "Downloading the file (3/3)\n", "Extracting\n", "Updating the file.\n"}) {
        EXPECT_TRUE(Contains(run.out, line)) << line << " in\n" << run.out;
    }

    EXPECT_EQ(LocalValue("CurrentVersion"), "4");
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
    for (const char* gone : {"pk0002.patch", "pk0003.patch", "pk0004.patch", "update.kah",
                             "update.kaf", "update.log", "delete.lst", "UpdateVersion.ini"}) {
        EXPECT_FALSE(GameFileExists(gone)) << gone;
    }
    EXPECT_EQ(ReadGameFile("Bin/tool.txt"), "tool v4");
    // The package's Data/notes.txt is the client's data/Notes.txt, not a twin beside it.
    EXPECT_EQ(ReadGameFile("data/Notes.txt"), "notes v3");
    EXPECT_EQ(ReadGameFile("data/big.bin"), Content("big", 2 << 20));
    EXPECT_FALSE(GameFileExists("Data"));
    EXPECT_TRUE(GameFileExists("readme.txt"));

    EXPECT_EQ(GameArchiveContents(), (FileTree{{"Data/a.dds", a4},
                                               {"Data/b.dds", b3},
                                               {"Data/c.dds", "c v2"},
                                               {"Data/New/d.dds", "d v3"}}));

    // A size query for the total, a size query on opening, the download itself.
    EXPECT_EQ(Requests("/patch/UpdateVersion.ini", 2), 2u);
    for (unsigned n = 2; n <= 4; ++n) EXPECT_EQ(Requests("/" + PackageName(n), 3), 3u) << n;
}

// Package 1 is never merged, so the update archive it brings stays in the client directory;
// no run applies package 1 itself (a client without a version is reinstalled), so the state
// it leaves is set up here. Package 2 merges what it finds, though it brings none.
TEST_F(PatchTest, UpdateArchiveLeftByPackageOneIsMergedByPackageTwo) {
    InstallGameArchive({{"Data\\a.dds", "a v1"}});
    auto [index, data] = BuildArchive({{"Data\\one.dds", "from package one"}});
    WriteGameFile("update.kah", index);
    WriteGameFile("update.kaf", data);
    WriteLocalVersion(1, "EXTRACT_END");
    PublishVersion(3, 1, 2);
    PublishPackage(2, {{"Bin/two.txt", "two"}});

    ConsoleResult run = RunConsole();
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Update Completed");
    EXPECT_EQ(GameArchiveContents(),
              (FileTree{{"Data/a.dds", "a v1"}, {"Data/one.dds", "from package one"}}));
    EXPECT_FALSE(GameFileExists("update.kah"));
    EXPECT_FALSE(GameFileExists("update.kaf"));
    EXPECT_EQ(LocalValue("CurrentVersion"), "2");
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
}

TEST_F(PatchTest, PackagesWithoutArchivesLeaveTheArchiveAloneAndEndAtExtractEnd) {
    InstallGameArchive({{"Data\\a.dds", "a v1"}});
    std::string index = ReadGameFile("data.kah"), data = ReadGameFile("data.kaf");
    WriteLocalVersion(1);
    PublishVersion(3, 1, 3);
    PublishPackage(2, {{"Data/two.txt", "two"}});
    PublishPackage(3, {{"Data/three.txt", "three"}, {"Data/two.txt", "two, again"}});

    ConsoleResult run = RunConsole();
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Update Completed");
    EXPECT_FALSE(Contains(run.out, "Updating the file."));
    EXPECT_EQ(ReadGameFile("Data/two.txt"), "two, again");
    EXPECT_EQ(ReadGameFile("Data/three.txt"), "three");
    EXPECT_EQ(ReadGameFile("data.kah"), index);
    EXPECT_EQ(ReadGameFile("data.kaf"), data);
    EXPECT_EQ(LocalValue("CurrentVersion"), "3");
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_END");
}

TEST_F(PatchTest, DeletionListAloneRemovesEntriesButNoFiles) {
    InstallGameArchive({{"Data\\a.dds", "alpha"}, {"Data\\Item\\old.dds", "old"}});
    WriteGameFile("Data/Item/old.dds", "a loose file of the same path");
    WriteLocalVersion(1);
    PublishVersion(3, 1, 2);
    PublishPackage(2, {{"delete.lst", "data/ITEM/Old.dds\tcomment after a tab\n"}});

    ConsoleResult run = RunConsole();
    ASSERT_EQ(run.status, kCompleted) << run.out << run.err;
    EXPECT_EQ(GameArchiveContents(), (FileTree{{"Data/a.dds", "alpha"}}));
    EXPECT_FALSE(GameFileExists("delete.lst"));
    EXPECT_EQ(ReadGameFile("Data/Item/old.dds"), "a loose file of the same path");
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
}

// The next package cannot be stored (its local name is taken by a directory): the run fails
// there, the deletion list of the package already applied still runs, and the run does not
// claim to be complete.
TEST_F(PatchTest, FailureToStartTheNextPackageStillAppliesTheDeletionList) {
    InstallGameArchive({{"Data\\a.dds", "a v1"}, {"Data\\b.dds", "b v1"}});
    WriteLocalVersion(1);
    PublishVersion(3, 1, 3);
    std::vector<PackageEntry> two = UpdateArchiveEntries({{"Data\\c.dds", "c v2"}});
    two.push_back({"delete.lst", "Data\\b.dds\r\n"});
    PublishPackage(2, two);
    PublishPackage(3, {{"Data/three.txt", "three"}});
    fs::create_directories(GamePath("pk0003.patch"));

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kFailed) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Download Failed: pk0003.patch Cannot open the file.c32");
    EXPECT_FALSE(Contains(run.out, "Completed"));
    EXPECT_EQ(LocalValue("CurrentVersion"), "2");
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
    EXPECT_FALSE(GameFileExists("delete.lst"));
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    EXPECT_FALSE(GameFileExists("Data/three.txt"));
    EXPECT_EQ(GameArchiveContents(), (FileTree{{"Data/a.dds", "a v1"}, {"Data/c.dds", "c v2"}}));
}

// A write-protected Version.ini is the player's to mend: the run must not replace it by the
// rename beside it, nor go on without its record.
TEST_F(PatchTest, ReadOnlyVersionFileIsNotReplacedAndStopsTheRun) {
    WriteLocalVersion(1, "UPDATE_END");
    PublishVersion(3, 1, 2);
    PublishPackage(2, {{"Data/two.txt", "two"}});
    const std::string before = ReadGameFile("Version.ini");
    ASSERT_EQ(::chmod(GamePath("Version.ini").c_str(), 0444), 0);
    struct stat original {};
    ASSERT_EQ(::stat(GamePath("Version.ini").c_str(), &original), 0);

    ConsoleResult run = RunConsoleUnprivileged();
    EXPECT_EQ(run.status, kFailed) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "SaveLocalVersion Error") << run.out << run.err;
    struct stat after {};
    ASSERT_EQ(::stat(GamePath("Version.ini").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, original.st_ino) << "Version.ini was replaced";
    EXPECT_EQ(ReadGameFile("Version.ini"), before);
    EXPECT_FALSE(GameFileExists("Data/two.txt"));
}

}  // namespace
}  // namespace korvun::test
