// What the console updater refuses before its run starts, and a stop while a new updater
// is being fetched.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

using StartupTest = UpdateScenario;

TEST_F(StartupTest, SecondUpdaterOnTheSameMachineIsRefused) {
    TrickleServer slow(256 << 10);
    slow.WriteFile("patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    slow.WriteFile("patch/patch/pk0002.patch",
                   BuildPackage({{"Data/payload.bin", std::string(1 << 20, 'p'), false}}));
    PointAt(slow.Address());
    WriteLocalVersion(1);

    std::unique_ptr<ChildProcess> first = StartConsole();
    ASSERT_TRUE(WaitUntil([&] { return GameFileExists("pk0002.patch"); }, 30s));
    ConsoleResult second = RunConsole();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "Korvun Updater: Updator already in operation.c01\n");
    EXPECT_EQ(second.out, "");

    first->Signal(SIGINT);
    EXPECT_EQ(first->Wait(30s), 3) << first->Stdout() << first->Stderr();
}

TEST_F(StartupTest, MissingDirect3DIsRefusedBeforeAnyRequest) {
    PublishVersion(3, 1, 2);
    WriteLocalVersion(1);
    fs::remove(root_.Path() + "/wine/drive_c/windows/system32/d3d9.dll");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "Korvun Updater: DirectX9 is not installed. Please try again after installing "
              "DirectX9.c03\n");
    EXPECT_EQ(Requests("/"), 0u);
}

TEST_F(StartupTest, StopWhileFetchingANewUpdaterHandsNothingOver) {
    TrickleServer slow(256 << 10);
    slow.WriteFile("patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=21\r\nPatchFileVersion=2\r\n");
    slow.WriteFile("Korvun/new_updater.exe", std::string(1 << 20, 'u'));
    PointAt(slow.Address());
    WriteLocalVersion(1);
    std::string arguments = root_.Path() + "/game-arguments.txt";
    WriteGameFile("Game.exe", "#!/bin/sh\necho \"$@\" > '" + arguments + "'\n");
    fs::permissions(GamePath("Game.exe"), fs::perms::owner_all);

    std::unique_ptr<ChildProcess> console = StartConsole();
    ASSERT_TRUE(WaitUntil(
        [&] { return console->Stdout().find("Downloading the Updator") != std::string::npos; },
        30s));
    console->Signal(SIGINT);
    EXPECT_EQ(console->Wait(30s), 3) << console->Stdout() << console->Stderr();
    ExpectNoSanitizerReport(console->Stderr());
    EXPECT_FALSE(WaitUntil([&] { return fs::exists(arguments); }, 300ms));
    EXPECT_LT(fs::file_size(GamePath("new_updater.exe")), 1u << 20);
}

// A script that stops reading (`korvun-updater-console | head -1`) must not kill the update
// half-way.
TEST_F(StartupTest, ReaderThatGoesAwayDoesNotStopTheUpdate) {
    PublishVersion(3, 1, 3);
    PublishPackage(2, {{"Data/two.txt", "two"}});
    PublishPackage(3, {{"Data/three.txt", "three"}});
    WriteLocalVersion(1);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    close(pipeFds[0]);

    std::unique_ptr<ChildProcess> console = StartConsole(pipeFds[1]);
    close(pipeFds[1]);
    EXPECT_EQ(console->Wait(60s), 0) << console->Stderr();
    EXPECT_EQ(LocalValue("CurrentVersion"), "3");
    EXPECT_EQ(ReadGameFile("Data/three.txt"), "three");
}

TEST(ConsoleOptionsTest, HelpAndABadDirectory) {
    TempDirectory scratch("korvun-options");
    ProgramResult help = RunProgram({KORVUN_CONSOLE_PATH, "--help"}, scratch.Path());
    EXPECT_EQ(help.status, std::optional<int>(0));
    EXPECT_EQ(help.out.rfind("Usage: korvun-updater-console", 0), 0u) << help.out;

    ProgramResult missing =
        RunProgram({KORVUN_CONSOLE_PATH, "-C", scratch.Path() + "/no-such-game"}, scratch.Path());
    EXPECT_EQ(missing.status, std::optional<int>(1));
    EXPECT_NE(missing.err.find("no-such-game"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace korvun::test
