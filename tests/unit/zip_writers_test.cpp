// Packages from three independent writers: korvun-tool checks and extracts them, and the trees
// equal what Info-ZIP's unzip extracts from the same packages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/zip_test_packages.h"
#include "unit/platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScratchDir;
using test::TreeContents;

#ifdef KORVUN_TOOL
int Shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Tool() { return KORVUN_TOOL; }

class ZipWriters : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string src = dir_ / "src";
        std::filesystem::create_directories(src + "/Data/Sub Dir");
        std::filesystem::create_directories(src + "/Empty");
        test::WriteFileBytes(src + "/Data/big.bin", test::SampleData(700000, 1));
        test::WriteFileBytes(src + "/Data/Sub Dir/exact.bin", test::SampleData(3 * 65535, 2));
        test::WriteFileBytes(src + "/Data/empty.txt", "");
        test::WriteFileBytes(src + "/readme.txt", "Korvun patch\r\n");
    }
    std::string Source() const { return dir_ / "src"; }

    // Checks a package with korvun-tool and compares its extraction with unzip's.
    void CheckPackage(const std::string& package) {
        EXPECT_EQ(Shell(Tool() + " package ls " + package), 0);
        EXPECT_EQ(Shell(Tool() + " package test " + package), 0);
        const std::string ours = dir_ / "ours", theirs = dir_ / "theirs";
        std::filesystem::remove_all(ours);
        std::filesystem::remove_all(theirs);
        ASSERT_EQ(Shell(Tool() + " package extract " + package + " " + ours), 0);
        ASSERT_EQ(Shell("unzip -o -q " + package + " -d " + theirs), 0);
        const auto ourTree = TreeContents(ours);
        EXPECT_TRUE(ourTree == TreeContents(theirs));
        EXPECT_EQ(ourTree.count("Data/Sub Dir/exact.bin"), 1u);
    }

    ScratchDir dir_;
};

TEST_F(ZipWriters, InfoZip) {
    const std::string package = dir_ / "infozip.zip";
    ASSERT_EQ(Shell("cd '" + Source() + "' && zip -q -r " + package + " ."), 0);
    CheckPackage(package);
}

TEST_F(ZipWriters, PythonZipfileWithAndWithoutDataDescriptors) {
    // Written to a pipe, zipfile cannot seek back and puts sizes into data descriptors.
    const std::string script =
        "import os, sys, zipfile\n"
        "src, out, stream = sys.argv[1], sys.argv[2], sys.argv[3] == '1'\n"
        "target = sys.stdout.buffer if stream else open(out, 'wb')\n"
        "with zipfile.ZipFile(target, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "    for root, dirs, files in sorted(os.walk(src)):\n"
        "        for d in sorted(dirs):\n"
        "            z.write(os.path.join(root, d), os.path.relpath(os.path.join(root, d), src))\n"
        "        for f in sorted(files):\n"
        "            p = os.path.join(root, f)\n"
        "            kind = zipfile.ZIP_STORED if f.endswith('.txt') else zipfile.ZIP_DEFLATED\n"
        "            z.write(p, os.path.relpath(p, src), compress_type=kind)\n";
    test::WriteFileBytes(dir_ / "write.py", script);
    const std::string seekable = dir_ / "python.zip", streamed = dir_ / "python-stream.zip";
    ASSERT_EQ(Shell("python3 " + dir_ / "write.py" + " " + Source() + " " + seekable + " 0"), 0);
    ASSERT_EQ(
        std::system(
            ("python3 " + dir_ / "write.py" + " " + Source() + " - 1 | cat > " + streamed).c_str()),
        0);
    const std::string bytes = test::ReadFileBytes(streamed);
    ASSERT_NE(bytes.find(std::string("PK\x07\x08", 4)), std::string::npos);
    CheckPackage(seekable);
    CheckPackage(streamed);
}

TEST_F(ZipWriters, Libzip) {
    std::vector<test::LibzipEntry> entries;
    for (const auto& item : std::filesystem::recursive_directory_iterator(Source())) {
        std::string name = std::filesystem::relative(item.path(), Source()).string();
        if (item.is_directory()) {
            entries.push_back({.name = name + "/", .directory = true});
        } else {
            entries.push_back({.name = name,
                               .data = test::ReadFileBytes(item.path().string()),
                               .deflate = name.find(".txt") == std::string::npos});
        }
    }
    const std::string package = dir_ / "libzip.zip";
    test::WriteWithLibzip(package, entries);
    CheckPackage(package);
}

TEST_F(ZipWriters, ToolExitStatuses) {
    test::WriteFileBytes(dir_ / "not-a-zip", "hello");
    EXPECT_EQ(Shell(Tool() + " package test " + dir_ / "not-a-zip"), 1);
    EXPECT_EQ(Shell(Tool() + " package extract " + dir_ / "not-a-zip " + dir_ / "out"), 1);
    EXPECT_EQ(Shell(Tool() + " package ls " + dir_ / "missing.zip"), 1);
    EXPECT_EQ(Shell(Tool() + " package extract"), 2);
    auto hostile = test::BuildRawPackage({{.name = "../escape.txt", .data = "x"}});
    test::WriteFileBytes(dir_ / "hostile.zip", hostile.bytes);
    EXPECT_EQ(Shell(Tool() + " package extract " + dir_ / "hostile.zip " + dir_ / "out"), 1);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "escape.txt"));
    // A CRC mismatch is found by test without writing anything.
    auto damaged = test::BuildRawPackage({{.name = "a.bin", .data = test::SampleData(5000, 3)}});
    test::Put32(damaged.bytes, damaged.central[0] + 16, 1);
    test::Put32(damaged.bytes, damaged.local[0] + 14, 1);
    test::WriteFileBytes(dir_ / "damaged.zip", damaged.bytes);
    EXPECT_EQ(Shell(Tool() + " package test " + dir_ / "damaged.zip"), 1);
}
#endif

}  // namespace
}  // namespace korvun
