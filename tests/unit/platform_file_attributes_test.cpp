#include "platform/file_attributes.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScratchDir;
using test::WriteFileWithMode;

constexpr uint16_t kMadeOnDos = 20;              // host 0, version 2.0
constexpr uint16_t kMadeOnUnix = (3 << 8) | 30;  // host 3, version 3.0

mode_t ModeOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(FileAttributes, UnixModeIsAppliedWithoutSetIdBits) {
    ScratchDir dir;
    const std::string tool = dir / "tool";
    WriteFileWithMode(tool, "#!/bin/sh\n");
    ASSERT_TRUE(ApplyFileAttributes(tool, 0100755u << 16, kMadeOnUnix));
    EXPECT_EQ(ModeOf(tool), 0755u);
    ASSERT_TRUE(ApplyFileAttributes(tool, (0106775u << 16) | kAttributeReadOnly, kMadeOnUnix));
    EXPECT_EQ(ModeOf(tool), 0775u);
    ASSERT_TRUE(ApplyFileAttributes(tool, 0100600u << 16, kMadeOnUnix));
    EXPECT_EQ(ModeOf(tool), 0600u);
}

TEST(FileAttributes, DosReadOnlyClearsAndRestoresWriteBits) {
    ScratchDir dir;
    const std::string file = dir / "Data.txt";
    WriteFileWithMode(file, "x", 0664);
    ASSERT_TRUE(ApplyFileAttributes(dir.Path() + "\\DATA.TXT", kAttributeReadOnly, kMadeOnDos));
    EXPECT_EQ(ModeOf(file), 0444u);
    ASSERT_TRUE(ApplyFileAttributes(file, 0x20 /* archive */, kMadeOnDos));
    EXPECT_EQ(ModeOf(file), 0644u);
    // A Unix entry without a mode falls back to the DOS bits.
    ASSERT_TRUE(ApplyFileAttributes(file, kAttributeReadOnly, kMadeOnUnix));
    EXPECT_EQ(ModeOf(file), 0444u);
}

TEST(FileAttributes, DirectoriesStayUsable) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "sub");
    ASSERT_TRUE(
        ApplyFileAttributes(dir / "sub", kAttributeDirectory | kAttributeReadOnly, kMadeOnDos));
    EXPECT_EQ(ModeOf(dir / "sub"), 0755u);
    ASSERT_TRUE(ApplyFileAttributes(dir / "sub", 040500u << 16, kMadeOnUnix));
    EXPECT_EQ(ModeOf(dir / "sub"), 0755u);
}

TEST(FileAttributes, MissingFileFails) {
    ScratchDir dir;
    EXPECT_FALSE(ApplyFileAttributes(dir / "none", 0, kMadeOnDos));
    EXPECT_FALSE(SetLastWriteTime(dir / "none", 1000000000));
}

TEST(FileAttributes, LastWriteTimeIsSet) {
    ScratchDir dir;
    WriteFileWithMode(dir / "File.bin", "x");
    const std::time_t when = 1262304000;  // 2010-01-01 00:00:00 UTC
    ASSERT_TRUE(SetLastWriteTime(dir.Path() + "\\file.BIN", when));
    struct stat st;
    ASSERT_EQ(::stat((dir / "File.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, when);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

}  // namespace
}  // namespace korvun
