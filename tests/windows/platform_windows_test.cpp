// The Windows implementations of the platform layers, on Windows (or Wine).
// windows.h comes first: the platform headers undo its macros that clash with their names.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/code_page.h"
#include "platform/directories.h"
#include "platform/disk_space.h"
#include "platform/file_attributes.h"
#include "platform/file_io.h"
#include "platform/game_window.h"
#include "platform/named_mutex.h"
#include "platform/profile.h"
#include "platform/system_dir.h"
#include "platform/wide.h"

namespace korvun {
namespace {

// A fresh directory under the temporary directory, removed at the end; its name holds
// characters outside every ANSI code page, so that a narrow call anywhere would miss it.
class ScratchDir {
  public:
    ScratchDir() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        std::wstring path = std::wstring(base) + L"korvun-\u00e9\u4e2d-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter_++);
        CreateDirectoryW(path.c_str(), nullptr);
        path_ = Narrow(path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(Widen(path_)), ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
    const std::string& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    std::string path_;
};

std::string ReadAll(const std::string& name) {
    std::ifstream in(std::filesystem::path(Widen(name)), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteAll(const std::string& name, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(Widen(name)), std::ios::binary | std::ios::trunc);
    out << bytes;
}

TEST(WindowsFiles, BinaryReadWriteSeekAndReplace) {
    ScratchDir dir;
    FileHandle file = OpenFile(dir / "a.bin", OpenMode::WriteCreateTruncate);
    ASSERT_TRUE(file.IsOpen());
    const std::string bytes("line\r\nline\n\x1a\0end", 15);
    ASSERT_TRUE(WriteFull(file.Get(), bytes.data(), bytes.size()));
    ASSERT_TRUE(SyncFile(file.Get()));
    ASSERT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadAll(dir / "a.bin"), bytes) << "no text-mode translation";
    EXPECT_EQ(FileSize(dir / "a.bin"), bytes.size());

    file = OpenFile(dir / "a.bin", OpenMode::ReadWrite);
    ASSERT_TRUE(file.IsOpen());
    EXPECT_EQ(SeekFile(file.Get(), 6, SEEK_SET), 6);
    char four[4];
    ASSERT_TRUE(ReadFull(file.Get(), four, 4));
    EXPECT_EQ(std::string(four, 4), "line");
    file.Reset();

    WriteAll(dir / "b.bin", "old");
    ASSERT_TRUE(ReplaceFile(dir / "a.bin", dir / "b.bin"));
    EXPECT_FALSE(FileExists(dir / "a.bin"));
    EXPECT_EQ(ReadAll(dir / "b.bin"), bytes);
    EXPECT_TRUE(DeleteFile(dir / "b.bin"));
    EXPECT_TRUE(DeleteFile(dir / "b.bin")) << "a missing file is no error";
    EXPECT_FALSE(OpenFile(dir / "missing", OpenMode::ReadWrite).IsOpen());
}

// Flushing a whole volume is what a volume allows: one that cannot be opened for it, or that
// refuses the request, is no failed write. Under Wine, Z: is the Linux root; run as root,
// its volume opens and then refuses the flush.
TEST(WindowsFiles, AVolumeThatCannotBeFlushedIsNoFailure) {
    ScratchDir dir;
    EXPECT_TRUE(SyncFileSystem(dir.path()));
    EXPECT_TRUE(SyncFileSystem("Z:\\tmp"));
}

TEST(WindowsProfile, WritesKeepOtherLinesAndReadBack) {
    ScratchDir dir;
    const std::string ini = dir / "Version.ini";
    WriteAll(ini, "; note\r\n[Version]\r\nCurrentVersion=1\r\nOther = \"x\"\r\n");
    EXPECT_EQ(ReadProfileString("version", "currentversion", "", ini), "1");
    EXPECT_EQ(ReadProfileString("Version", "Other", "", ini), "x");
    ASSERT_TRUE(WriteProfileString("Version", "CurrentVersion", "5", ini));
    ASSERT_TRUE(WriteProfileString("New", "Key", "v", ini));
    EXPECT_EQ(ReadAll(ini),
              "; note\r\n[Version]\r\nCurrentVersion=5\r\nOther = \"x\"\r\n[New]\r\nKey=v\r\n");
    EXPECT_EQ(ReadProfileString("Version", "Missing", "def", dir / "none.ini"), "def");
    // The write went through a temporary file that no longer exists.
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(Widen(dir.path())))) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(WindowsFiles, AttributesTimesAndDirectories) {
    ScratchDir dir;
    WriteAll(dir / "f.txt", "x");
    ASSERT_TRUE(ApplyFileAttributes(dir / "f.txt", kAttributeReadOnly, 0));
    EXPECT_TRUE(GetFileAttributesW(Widen(dir / "f.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(ApplyFileAttributes(dir / "f.txt", 0, 0));
    EXPECT_FALSE(GetFileAttributesW(Widen(dir / "f.txt").c_str()) & FILE_ATTRIBUTE_READONLY);

    ASSERT_TRUE(SetLastWriteTime(dir / "f.txt", 1000000000));  // 2001-09-09 01:46:40 UTC
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(Widen(dir / "f.txt").c_str(), GetFileExInfoStandard, &data));
    ULARGE_INTEGER ticks{{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
    EXPECT_EQ(ticks.QuadPart / 10000000ull - 11644473600ull, 1000000000ull);

    EXPECT_EQ(NativePathKind(dir / "f.txt"), 1);
    EXPECT_TRUE(MakeDirectory(dir / "sub"));
    EXPECT_TRUE(MakeDirectory(dir / "sub")) << "an existing directory is fine";
    EXPECT_EQ(NativePathKind(dir / "sub"), -1);
    EXPECT_EQ(NativePathKind(dir / "nothing"), 0);
    EXPECT_FALSE(RealPath(dir / "sub").empty());
    EXPECT_TRUE(FreeDiskSpace().value_or(0) > 0);
}

TEST(WindowsSystem, NamedMutexExcludesASecondHolder) {
    NamedMutex first("Korvun Updater test");
    EXPECT_TRUE(first.Acquired());
    {
        NamedMutex second("Korvun Updater test");
        EXPECT_FALSE(second.Acquired());
    }
    NamedMutex other("Korvun Updater other");
    EXPECT_TRUE(other.Acquired());
}

TEST(WindowsSystem, GameWindowByClassAndTitle) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "GAME";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    HWND loading = CreateWindowA("GAME", "Korvun - loading", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                 nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(loading, nullptr);
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    HWND game = CreateWindowA("GAME", "Korvun", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                              windowClass.hInstance, nullptr);
    ASSERT_NE(game, nullptr);
    EXPECT_TRUE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
    DestroyWindow(game);
    DestroyWindow(loading);
    EXPECT_FALSE(FindTopLevelWindow("GAME", "Korvun", "Game.exe"));
}

TEST(WindowsSystem, SystemDirectoryHoldsTheSystemLibraries) {
    std::optional<std::string> system = SystemDirectory();
    ASSERT_TRUE(system);
    EXPECT_EQ(NativePathKind(*system + "\\kernel32.dll"), 1);
}

// Names without the UTF-8 flag are read in the system's OEM code page.
TEST(WindowsCodePage, OemNamesFollowTheSystemCodePage) {
    EXPECT_EQ(OemToUtf8("plain.txt"), "plain.txt");
    const std::string bytes = "\x9B\xA9";
    switch (GetOEMCP()) {
        case 437:
            EXPECT_EQ(OemToUtf8(bytes), "\xC2\xA2\xE2\x8C\x90");
            break;
        case 850:
            EXPECT_EQ(OemToUtf8(bytes), "\xC3\xB8\xC2\xAE");
            break;
        default:
            GTEST_SKIP() << "OEM code page " << GetOEMCP();
    }
}

}  // namespace
}  // namespace korvun
