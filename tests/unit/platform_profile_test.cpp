#include "platform/profile.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ReadFileBytes;
using test::ScratchDir;
using test::WriteFileWithMode;

TEST(Profile, AbsentFileSectionOrKeyGivesTheDefault) {
    ScratchDir dir;
    const std::string ini = dir / "Version.ini";
    EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "none", ini), "none");
    WriteFileWithMode(ini, "[Other]\r\nCurrentVersion=5\r\n[Version]\r\nCheckVersion=1\r\n");
    EXPECT_EQ(ReadProfileString("Missing", "CurrentVersion", "none", ini), "none");
    EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "none", ini), "none");
    EXPECT_EQ(ReadProfileString("Version", "CheckVersion", "none", ini), "1");
}

TEST(Profile, NewFileGetsSectionAndKeyWithCrlf) {
    ScratchDir dir;
    const std::string ini = dir / "Version.ini";
    ASSERT_TRUE(WriteProfileString("Version", "CurrentVersion", "12", ini));
    ASSERT_TRUE(WriteProfileString("Version", "StartUpdate", "", ini));
    EXPECT_EQ(ReadFileBytes(ini), "[Version]\r\nCurrentVersion=12\r\nStartUpdate=\r\n");
    EXPECT_EQ(ReadProfileString("Version", "StartUpdate", "x", ini), "");
    // Nothing but the file itself is left in the directory.
    auto entries = std::distance(std::filesystem::directory_iterator(dir.Path()),
                                 std::filesystem::directory_iterator());
    EXPECT_EQ(entries, 1);
}

// A file our layer wrote, then edited by hand, must come back with every line we did not
// change byte for byte where it was.
TEST(Profile, HandEditedFileRoundTripsUntouchedLines) {
    ScratchDir dir;
    const std::string ini = dir / "Version.ini";
    ASSERT_TRUE(WriteProfileString("Version", "CurrentVersion", "1", ini));
    WriteFileWithMode(ini,
                      "; client settings\r\n"
                      "\r\n"
                      "[Login]\r\n"
                      "TEST_IP = GERMANY \r\n"
                      "\r\n"
                      " [ version ] \r\n"
                      "  checkVERSION = 3\r\n"
                      "CurrentVersion=\"  12 \"\r\n"
                      "; marker below\r\n"
                      "StartUpdate=EXTRACT_START\r\n"
                      "\r\n"
                      "\r\n"
                      "[Other]\r\n"
                      "CurrentVersion=99\r\n"
                      "last=line without end");

    EXPECT_EQ(ReadProfileString("VERSION", "checkversion", "", ini), "3");
    EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "", ini), "  12 ");
    EXPECT_EQ(ReadProfileString("login", "test_ip", "", ini), "GERMANY");
    EXPECT_EQ(ReadProfileString("Other", "CurrentVersion", "", ini), "99");
    EXPECT_EQ(ReadProfileString("Other", "LAST", "", ini), "line without end");

    ASSERT_TRUE(WriteProfileString("Version", "CURRENTVERSION", "13", ini));
    ASSERT_TRUE(WriteProfileString("version", "CheckVersion", "4", ini));
    ASSERT_TRUE(WriteProfileString("Version", "StartUpdate", "", ini));
    ASSERT_TRUE(WriteProfileString("Version", "NewKey", "\"quoted value\"", ini));
    ASSERT_TRUE(WriteProfileString("Other", "Extra", "1", ini));
    ASSERT_TRUE(WriteProfileString("Brand New", "Key", "v", ini));

    EXPECT_EQ(ReadFileBytes(ini),
              "; client settings\r\n"
              "\r\n"
              "[Login]\r\n"
              "TEST_IP = GERMANY \r\n"
              "\r\n"
              " [ version ] \r\n"
              "  checkVERSION=4\r\n"
              "CurrentVersion=13\r\n"
              "; marker below\r\n"
              "StartUpdate=\r\n"
              "NewKey=\"quoted value\"\r\n"
              "\r\n"
              "\r\n"
              "[Other]\r\n"
              "CurrentVersion=99\r\n"
              "last=line without end\r\n"
              "Extra=1\r\n"
              "[Brand New]\r\n"
              "Key=v\r\n");
    EXPECT_EQ(ReadProfileString("Version", "newkey", "", ini), "quoted value");
    EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "", ini), "13");
}

TEST(Profile, LfFileKeepsLf) {
    ScratchDir dir;
    const std::string ini = dir / "CONFIG.ini";
    WriteFileWithMode(ini, "[LOGIN]\nTEST_IP=GERMANY\n\n[Misc]\r\nx=1\n");
    ASSERT_TRUE(WriteProfileString("login", "Port", "80", ini));
    ASSERT_TRUE(WriteProfileString("New", "a", "b", ini));
    // The first line decides; a stray CRLF elsewhere is left as it is.
    EXPECT_EQ(ReadFileBytes(ini),
              "[LOGIN]\nTEST_IP=GERMANY\nPort=80\n\n[Misc]\r\nx=1\n[New]\na=b\n");
}

TEST(Profile, FirstOfDuplicateSectionsAndKeysCounts) {
    ScratchDir dir;
    const std::string ini = dir / "a.ini";
    WriteFileWithMode(ini, "[S]\r\nk=1\r\nK=2\r\n[s]\r\nk=3\r\n");
    EXPECT_EQ(ReadProfileString("S", "k", "", ini), "1");
    ASSERT_TRUE(WriteProfileString("s", "K", "9", ini));
    EXPECT_EQ(ReadFileBytes(ini), "[S]\r\nk=9\r\nK=2\r\n[s]\r\nk=3\r\n");
}

TEST(Profile, ByteOrderMarkDoesNotHideTheFirstSection) {
    ScratchDir dir;
    const std::string ini = dir / "a.ini";
    WriteFileWithMode(ini, "\xEF\xBB\xBF[Version]\r\nCurrentVersion=7\r\n");
    EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "", ini), "7");
    ASSERT_TRUE(WriteProfileString("Version", "CurrentVersion", "8", ini));
    EXPECT_EQ(ReadFileBytes(ini), "\xEF\xBB\xBF[Version]\r\nCurrentVersion=8\r\n");
}

TEST(Profile, RejectsWhatWouldBreakTheFileAndKeepsIt) {
    ScratchDir dir;
    const std::string ini = dir / "a.ini";
    const std::string original = "[S]\r\nk=1\r\n";
    WriteFileWithMode(ini, original);
    EXPECT_FALSE(WriteProfileString("S", "k", "1\r\n[Evil]", ini));
    EXPECT_FALSE(WriteProfileString("S", "a=b", "1", ini));
    EXPECT_FALSE(WriteProfileString("S]x", "k", "1", ini));
    EXPECT_FALSE(WriteProfileString("S", "", "1", ini));
    EXPECT_EQ(ReadFileBytes(ini), original);

    // A name that exists but cannot be read is not replaced by a file holding only one key.
    std::filesystem::create_directory(dir / "dir.ini");
    EXPECT_FALSE(WriteProfileString("S", "k", "1", dir / "dir.ini"));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "dir.ini"));
}

TEST(Profile, WindowsNameFindsFileCaseInsensitivelyAndKeepsItsMode) {
    ScratchDir dir;
    WriteFileWithMode(dir / "Sub/Version.ini", "[Version]\r\nCurrentVersion=1\r\n", 0600);
    const std::string windowsName = dir.Path() + "\\SUB\\version.INI";
    EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "", windowsName), "1");
    ASSERT_TRUE(WriteProfileString("Version", "CurrentVersion", "2", windowsName));
    EXPECT_EQ(ReadFileBytes(dir / "Sub/Version.ini"), "[Version]\r\nCurrentVersion=2\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "Sub/version.INI"));
    struct stat st;
    ASSERT_EQ(::stat((dir / "Sub/Version.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    {
        test::ScopedCwd cwd(dir / "Sub");
        EXPECT_EQ(ReadProfileString("Version", "CurrentVersion", "", ".\\VERSION.ini"), "2");
    }
}

// The atomic rename would replace a write-protected file as readily as any other; the write
// must fail as it does in place. Root may write anything, so the writer runs as nobody.
TEST(Profile, WriteProtectedFileIsNotReplaced) {
    ScratchDir dir;
    const std::string ini = dir / "Version.ini";
    const std::string content = "[Version]\r\nCurrentVersion=1\r\n";
    WriteFileWithMode(ini, content, 0444);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        bool written = WriteProfileString("Version", "CurrentVersion", "2", ini);
        ::_exit(written ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the write succeeded, 3: could not become nobody";
    EXPECT_EQ(ReadFileBytes(ini), content);
    auto entries = std::filesystem::directory_iterator(dir.Path());
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);  // no temporary left
}

// A writer killed at any moment leaves the old or the new file, never a mixture or a
// truncated one.
TEST(Profile, KilledWriterLeavesOldOrNewContent) {
    ScratchDir dir;
    const std::string ini = dir / "Version.ini";
    const std::string header = "; kept\r\n[Version]\r\nCheckVersion=1\r\n";
    const std::string contentA = header + "CurrentVersion=1\r\nStartUpdate=UPDATE_END\r\n";
    const std::string contentB = header + "CurrentVersion=2\r\nStartUpdate=EXTRACT_START\r\n";
    WriteFileWithMode(ini, contentA);

    std::mt19937 random(20240611);
    // Wide enough that a slow build (the sanitizers) still finishes some writes before a kill.
    std::uniform_int_distribution<int> delayMicroseconds(0, 20000);
    int changed = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            (void)!::write(ready[1], "r", 1);
            for (;;) {
                // Both keys change per step, so a partial rewrite would show.
                WriteProfileString("Version", "CurrentVersion", "2", ini);
                WriteProfileString("Version", "StartUpdate", "EXTRACT_START", ini);
                WriteProfileString("Version", "CurrentVersion", "1", ini);
                WriteProfileString("Version", "StartUpdate", "UPDATE_END", ini);
            }
        }
        ::close(ready[1]);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(child, SIGKILL);
        int status;
        ASSERT_EQ(::waitpid(child, &status, 0), child);

        std::string content = ReadFileBytes(ini);
        // Between the two writes of a step the file holds one changed key: also complete.
        const std::string mixedAB = header + "CurrentVersion=2\r\nStartUpdate=UPDATE_END\r\n";
        const std::string mixedBA = header + "CurrentVersion=1\r\nStartUpdate=EXTRACT_START\r\n";
        ASSERT_TRUE(content == contentA || content == contentB || content == mixedAB ||
                    content == mixedBA)
            << "attempt " << attempt << ": " << content;
        changed += content != contentA;
        // Start each attempt from the same file, as a restart after a crash would.
        WriteFileWithMode(ini, contentA);
    }
    EXPECT_GT(changed, 0) << "the writer never got to change the file";
}

}  // namespace
}  // namespace korvun
