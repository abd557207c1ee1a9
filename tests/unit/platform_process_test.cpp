#include "platform/process.h"

#include <dirent.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using Args = std::vector<std::string>;
using test::ReadFileBytes;
using test::ScopedCwd;
using test::ScopedEnv;
using test::ScratchDir;
using test::WriteFileWithMode;

TEST(SplitCommandLine, FollowsTheWindowsRules) {
    EXPECT_EQ(SplitCommandLine("Game.exe new updater"), (Args{"Game.exe", "new", "updater"}));
    EXPECT_EQ(SplitCommandLine("  Config.exe  "), (Args{"Config.exe"}));
    EXPECT_EQ(SplitCommandLine(""), Args{});
    EXPECT_EQ(SplitCommandLine(" \t "), Args{});
    EXPECT_EQ(SplitCommandLine("p \"a b\"\tc"), (Args{"p", "a b", "c"}));
    EXPECT_EQ(SplitCommandLine("p \"\" x"), (Args{"p", "", "x"}));
    EXPECT_EQ(SplitCommandLine("p a\"b c\"d"), (Args{"p", "ab cd"}));
    // Backslashes count only before a quote: 2n give n and a delimiter, 2n+1 give n and a quote.
    EXPECT_EQ(SplitCommandLine(R"(p a\\b c:\dir\)"), (Args{"p", R"(a\\b)", R"(c:\dir\)"}));
    EXPECT_EQ(SplitCommandLine(R"(p a\\\\"b c" d)"), (Args{"p", R"(a\\b c)", "d"}));
    EXPECT_EQ(SplitCommandLine(R"(p a\\\"b)"), (Args{"p", R"(a\"b)"}));
    EXPECT_EQ(SplitCommandLine(R"(p \"x\")"), (Args{"p", R"("x")"}));
    EXPECT_EQ(SplitCommandLine(R"(p "a""b")"), (Args{"p", R"(a"b)"}));
    // The program name knows no escapes: a backslash before its closing quote is a character.
    EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\" x)"), (Args{R"(C:\Program Files\)", "x"}));
    EXPECT_EQ(SplitCommandLine(R"("C:\Games\Game.exe" start game)"),
              (Args{R"(C:\Games\Game.exe)", "start", "game"}));
}

// A script that writes its arguments, one per line, to $RECORD_TO when it is complete.
const char* kRecorder =
    "#!/bin/sh\n"
    "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$RECORD_TO.part\"\n"
    "mv \"$RECORD_TO.part\" \"$RECORD_TO\"\n";

class StartProcessTest : public ::testing::Test {
  protected:
    std::string WaitForRecord() {
        bool appeared = test::WaitFor([&] { return std::filesystem::exists(record); });
        EXPECT_TRUE(appeared) << "the program did not run";
        return appeared ? ReadFileBytes(record) : "";
    }

    ScratchDir dir;
    ScratchDir output;
    std::string record = output / "argv.txt";
    ScopedEnv recordTo{"RECORD_TO", record};
};

TEST_F(StartProcessTest, ScriptInCurrentDirectoryFoundIgnoringCaseGetsSplitArguments) {
    WriteFileWithMode(dir / "Record.SH", kRecorder, 0755);
    ScopedCwd cwd(dir.Path());
    ASSERT_TRUE(StartProcess(R"(record.sh "two words" a\\\"b plain)"));
    EXPECT_EQ(WaitForRecord(), "./Record.SH\ntwo words\na\\\"b\nplain\n");
}

TEST_F(StartProcessTest, ExeIsAppendedWhenTheNameHasNoExtension) {
    WriteFileWithMode(dir / "bin/Tool.exe", kRecorder, 0755);
    ScopedEnv path("PATH", dir / "bin" + ":/usr/bin:/bin");
    ASSERT_TRUE(StartProcess("TOOL x"));
    std::string recorded = WaitForRecord();
    EXPECT_EQ(recorded, dir / "bin/Tool.exe" + "\nx\n");
}

TEST_F(StartProcessTest, WindowsProgramRunsThroughTheWineLoader) {
    WriteFileWithMode(dir / "Game.exe", std::string("MZ\x90\0\x03", 5) + "not really a program");
    WriteFileWithMode(output / "fake-wine", kRecorder, 0755);
    ScopedEnv loader("WINELOADER", output / "fake-wine");
    ScopedCwd cwd(dir.Path());
    ASSERT_TRUE(StartProcess("game.exe new updater"));
    EXPECT_EQ(WaitForRecord(), output / "fake-wine" + "\n./Game.exe\nnew\nupdater\n");
}

TEST_F(StartProcessTest, ProgramsThatCannotRunAreNotCreated) {
    ScopedCwd cwd(dir.Path());
    ScopedEnv path("PATH", "/usr/bin:/bin");
    EXPECT_FALSE(StartProcess(""));
    EXPECT_FALSE(StartProcess("no-such-program-here arg"));
    WriteFileWithMode(dir / "notes.txt", "plain text\n", 0644);
    EXPECT_FALSE(StartProcess("notes.txt"));
    std::filesystem::create_directory(dir / "folder");
    EXPECT_FALSE(StartProcess("folder"));
    // Executable, but not a format the system can run.
    WriteFileWithMode(dir / "garbage.bin", std::string("\x01\x02\x03\x04", 4), 0755);
    EXPECT_FALSE(StartProcess("garbage.bin"));
}

// The updater's own directory comes before the current directory and PATH, so that
// "Game.exe" next to the updater is found from anywhere.
TEST_F(StartProcessTest, ProgramBesideTheUpdaterIsFound) {
    std::string ownDirectory = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::string name = "Korvun-Own-Dir-Probe-" + std::to_string(::getpid());
    WriteFileWithMode(ownDirectory + "/" + name, kRecorder, 0755);
    ScopedCwd cwd(dir.Path());
    ScopedEnv path("PATH", "/usr/bin:/bin");
    bool started = StartProcess("korvun-own-dir-probe-" + std::to_string(::getpid()) + " x");
    std::string recorded = started ? WaitForRecord() : "";
    std::filesystem::remove(ownDirectory + "/" + name);
    ASSERT_TRUE(started);
    EXPECT_EQ(recorded, ownDirectory + "/" + name + "\nx\n");
}

std::vector<pid_t> ZombieChildren() {
    std::vector<pid_t> zombies;
    DIR* proc = ::opendir("/proc");
    while (const dirent* entry = proc ? ::readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ...; comm may hold spaces, so parse after the last ')'.
        size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
            parent == ::getpid() && state == 'Z') {
            zombies.push_back(std::atoi(entry->d_name));
        }
    }
    if (proc) ::closedir(proc);
    return zombies;
}

TEST_F(StartProcessTest, EndedProgramsLeaveNoZombie) {
    WriteFileWithMode(dir / "quick", kRecorder, 0755);
    ScopedCwd cwd(dir.Path());
    ASSERT_TRUE(StartProcess("quick"));
    WaitForRecord();
    EXPECT_TRUE(test::WaitFor([] { return ZombieChildren().empty(); }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace korvun
