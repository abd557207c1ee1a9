// Extracting whole packages: contents, progress, sizes that lie, CRC, stop requests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/recording_progress.h"
#include "support/zip_test_packages.h"
#include "unit/platform_test_helpers.h"
#include "zip/extract_package.h"
#include "zip/zip_exception.h"

namespace korvun {
namespace {

using test::BuildRawPackage;
using test::Put32;
using test::ReadFileBytes;
using test::SampleData;
using test::ScratchDir;
using test::WriteFileBytes;

using CountingProgress = test::RecordingProgress;

class ZipExtract : public ::testing::Test {
  protected:
    std::string Package() const { return dir_ / "pk0001.patch"; }
    std::string Dest() const { return dir_ / "game"; }
    std::string At(const std::string& name) const { return Dest() + "/" + name; }
    void SetUp() override { std::filesystem::create_directories(Dest()); }
    ExtractResult Extract() { return ExtractPackage(Package(), Dest(), progress_); }
    // The cause a raising extraction carries, 0 when nothing was raised.
    int ExtractCause(ExtractResult* result = nullptr) {
        try {
            ExtractResult r = Extract();
            if (result != nullptr) *result = r;
        } catch (const CZipException& e) {
            EXPECT_EQ(e.Path(), std::filesystem::absolute(Package()).string());
            return e.Cause();
        }
        return 0;
    }

    ScratchDir dir_;
    CountingProgress progress_;
};

TEST_F(ZipExtract, WritesEveryEntryAndDrivesTheGauge) {
    const std::string chunk2 = SampleData(2 * 65535, 1);
    const std::string chunk1 = SampleData(65535, 2);
    const std::string big = SampleData(1000000, 3);
    test::WriteWithLibzip(Package(), {{.name = "Data/", .directory = true},
                                      {.name = "Data/big.bin", .data = big},
                                      {.name = "Data/Sub/two.bin", .data = chunk2},
                                      {.name = "two-stored.bin", .data = chunk2, .deflate = false},
                                      {.name = "one.bin", .data = chunk1},
                                      {.name = "empty-deflated", .data = ""},
                                      {.name = "empty-stored", .data = "", .deflate = false},
                                      {.name = "Empty/Dir/", .directory = true}});
    ASSERT_EQ(Extract(), ExtractResult::Done);
    EXPECT_TRUE(ReadFileBytes(At("Data/big.bin")) == big);
    EXPECT_TRUE(ReadFileBytes(At("Data/Sub/two.bin")) == chunk2);
    EXPECT_TRUE(ReadFileBytes(At("two-stored.bin")) == chunk2);
    EXPECT_TRUE(ReadFileBytes(At("one.bin")) == chunk1);
    EXPECT_TRUE(std::filesystem::is_regular_file(At("empty-deflated")));
    EXPECT_EQ(std::filesystem::file_size(At("empty-stored")), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(At("Empty/Dir")));

    const uint64_t total = big.size() + 2 * chunk2.size() + chunk1.size();
    EXPECT_EQ(progress_.begins, 1);
    EXPECT_EQ(progress_.total, total);
    EXPECT_EQ(progress_.done, total);
}

// Names without the UTF-8 flag are in the OEM code page of the machine that made the
// package; a German system reads them as CP850, where CP437 would give other characters.
TEST_F(ZipExtract, UnflaggedNamesAreReadInTheLocalesOemCodePage) {
#ifdef KORVUN_OEM_CODEPAGE
    GTEST_SKIP() << "this build reads every name as " << KORVUN_OEM_CODEPAGE;
#endif
    test::ScopedEnv german("LC_ALL", "de_DE.UTF-8");
    test::WriteWithLibzip(Package(), {{.name = "Gr\x94\xE1"
                                               "e/K\x9B"
                                               "benhavn \xA9.txt",
                                       .data = "x"}});
    EXPECT_EQ(Extract(), ExtractResult::Done);
    EXPECT_EQ(test::TreeContents(Dest()),
              (std::map<std::string, std::string>{{"Gr\xC3\xB6\xC3\x9F"
                                                   "e/",
                                                   ""},
                                                  {"Gr\xC3\xB6\xC3\x9F"
                                                   "e/K\xC3\xB8"
                                                   "benhavn \xC2\xAE.txt",
                                                   "x"}}));
}

TEST_F(ZipExtract, TimesAndUnixModesAreApplied) {
    auto package =
        BuildRawPackage({{.name = "tool.sh",
                          .data = "#!/bin/sh\n",
                          .versionMadeBy = 0x0314,
                          .externalAttributes = 0100755u << 16},
                         {.name = "readonly.txt", .data = "r", .externalAttributes = 0x21}});
    WriteFileBytes(Package(), package.bytes);
    ASSERT_EQ(Extract(), ExtractResult::Done);
    struct stat st;
    ASSERT_EQ(::stat(At("tool.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    std::tm noon{};
    noon.tm_year = 125;
    noon.tm_mday = 1;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    EXPECT_EQ(st.st_mtime, std::mktime(&noon));
    ASSERT_EQ(::stat(At("readonly.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
}

TEST_F(ZipExtract, ExistingFilesAreOverwrittenWhateverTheirCase) {
    std::filesystem::create_directories(At("data"));
    WriteFileBytes(At("data/x.txt"), std::string(5000, 'o'));
    test::WriteWithLibzip(Package(), {{.name = "Data/X.txt", .data = "new"}});
    ASSERT_EQ(Extract(), ExtractResult::Done);
    EXPECT_EQ(ReadFileBytes(At("data/x.txt")), "new");
    EXPECT_FALSE(std::filesystem::exists(At("Data")));
}

TEST_F(ZipExtract, CrcMismatchIsRaisedAfterTheFileWasWritten) {
    const std::string data = SampleData(200000, 4);
    test::WriteWithLibzip(Package(),
                          {{.name = "a.txt", .data = "fine"}, {.name = "b.bin", .data = data}});
    auto package = test::IndexPackage(ReadFileBytes(Package()));
    const uint32_t wrong = test::Get32(package.bytes, package.central[1] + 16) ^ 0x10;
    Put32(package.bytes, package.central[1] + 16, wrong);
    Put32(package.bytes, package.local[1] + 14, wrong);
    WriteFileBytes(Package(), package.bytes);
    EXPECT_EQ(ExtractCause(), kCauseBadCrc);
    EXPECT_EQ(ReadFileBytes(At("a.txt")), "fine");
    EXPECT_TRUE(ReadFileBytes(At("b.bin")) == data);
}

TEST_F(ZipExtract, EncryptedEntryFailsWithoutRaise) {
    test::WriteWithLibzip(Package(), {{.name = "a.txt", .data = "first"},
                                      {.name = "b.txt", .data = "second"},
                                      {.name = "c.txt", .data = "third"}});
    auto package = test::IndexPackage(ReadFileBytes(Package()));
    for (size_t at : {package.local[1] + 6, package.central[1] + 8}) package.bytes[at] |= 1;
    WriteFileBytes(Package(), package.bytes);
    ExtractResult result = ExtractResult::Stopped;
    EXPECT_EQ(ExtractCause(&result), 0);
    EXPECT_EQ(result, ExtractResult::Failed);
    EXPECT_TRUE(std::filesystem::exists(At("a.txt")));
    EXPECT_FALSE(std::filesystem::exists(At("b.txt")));
    EXPECT_FALSE(std::filesystem::exists(At("c.txt")));
}

TEST_F(ZipExtract, StoredEntryShorterThanItsSizeEnds) {
    auto package = BuildRawPackage({{.name = "short.bin", .data = "0123456789", .method = 0}});
    Put32(package.bytes, package.central[0] + 24, 100000);
    Put32(package.bytes, package.local[0] + 22, 100000);
    WriteFileBytes(Package(), package.bytes);
    ExtractResult result = ExtractResult::Stopped;
    EXPECT_EQ(ExtractCause(&result), 0);  // returns at all: no endless read
    EXPECT_EQ(result, ExtractResult::Failed);
    EXPECT_EQ(ReadFileBytes(At("short.bin")), "0123456789");
}

TEST_F(ZipExtract, DeflatedEntryShorterThanItsSizeFails) {
    auto package = BuildRawPackage({{.name = "short.bin", .data = SampleData(1000, 5)}});
    Put32(package.bytes, package.central[0] + 24, 5000);
    Put32(package.bytes, package.local[0] + 22, 5000);
    WriteFileBytes(Package(), package.bytes);
    ExtractResult result = ExtractResult::Stopped;
    EXPECT_EQ(ExtractCause(&result), 0);
    EXPECT_EQ(result, ExtractResult::Failed);
}

TEST_F(ZipExtract, OutputNeverExceedsTheDeclaredSize) {
    // Both entries claim 1,000 bytes; the data hold far more. A stored and a deflated one,
    // the second pointing at the first's local header as an overlapping package would.
    const std::string data = SampleData(300000, 6);
    auto package = BuildRawPackage(
        {{.name = "aaaa.bin", .data = data, .method = 0}, {.name = "bbbb.bin", .data = data}});
    for (size_t i = 0; i < 2; ++i) {
        Put32(package.bytes, package.central[i] + 24, 1000);
        Put32(package.bytes, package.local[i] + 22, 1000);
        const uint32_t crc = test::Crc32Of(data.substr(0, 1000));
        Put32(package.bytes, package.central[i] + 16, crc);
        Put32(package.bytes, package.local[i] + 14, crc);
    }
    WriteFileBytes(Package(), package.bytes);
    ExtractResult result = ExtractResult::Stopped;
    EXPECT_EQ(ExtractCause(&result), 0);
    EXPECT_EQ(result, ExtractResult::Done);
    EXPECT_TRUE(ReadFileBytes(At("aaaa.bin")) == data.substr(0, 1000));
    EXPECT_TRUE(ReadFileBytes(At("bbbb.bin")) == data.substr(0, 1000));
    EXPECT_EQ(progress_.done, 2000u);

    // Without the matching CRC, the shorter output is a CRC mismatch.
    auto lying = BuildRawPackage({{.name = "cccc.bin", .data = data}});
    Put32(lying.bytes, lying.central[0] + 24, 1000);
    Put32(lying.bytes, lying.local[0] + 22, 1000);
    WriteFileBytes(Package(), lying.bytes);
    EXPECT_EQ(ExtractCause(), kCauseBadCrc);
    EXPECT_EQ(std::filesystem::file_size(At("cccc.bin")), 1000u);
}

TEST_F(ZipExtract, CorruptDeflateDataRaiseTheDecompressorsCause) {
    auto package = BuildRawPackage({{.name = "a.bin", .data = SampleData(100000, 8)}});
    for (size_t i = 0; i < 64; ++i) package.bytes[package.local[0] + 40 + i] = '\xff';
    WriteFileBytes(Package(), package.bytes);
    EXPECT_EQ(ExtractCause(), kCauseDataError);
}

TEST_F(ZipExtract, StopDuringTheFirstEntryEndsAfterItsChunk) {
    const std::string first = SampleData(3000000, 9);
    test::WriteWithLibzip(Package(), {{.name = "first.bin", .data = first},
                                      {.name = "second.bin", .data = SampleData(100000, 10)}});
    CountingProgress stopping(1);
    EXPECT_EQ(ExtractPackage(Package(), Dest(), stopping), ExtractResult::Stopped);
    // The first chunk is counted; the answer to the next chunk is no: that chunk is written
    // and ends the entry.
    EXPECT_EQ(stopping.done, 65535u);
    EXPECT_EQ(stopping.countedAfterStop, 65535u);
    EXPECT_TRUE(ReadFileBytes(At("first.bin")) == first.substr(0, 2 * 65535));
    EXPECT_FALSE(std::filesystem::exists(At("second.bin")));
}

TEST_F(ZipExtract, StopDuringTheLastEntryStillStops) {
    const std::string last = SampleData(2000000, 11);
    test::WriteWithLibzip(Package(), {{.name = "a.bin", .data = SampleData(100000, 12)},
                                      {.name = "b.bin", .data = last}});
    CountingProgress stopping(100000 + 1);
    EXPECT_EQ(ExtractPackage(Package(), Dest(), stopping), ExtractResult::Stopped);
    EXPECT_EQ(ReadFileBytes(At("a.bin")).size(), 100000u);
    const std::string written = ReadFileBytes(At("b.bin"));
    EXPECT_LT(written.size(), last.size());
    EXPECT_TRUE(written == last.substr(0, written.size()));

    // A stop that comes with the very last chunk is a stop, too.
    ScratchDir other;
    CountingProgress lastChunk(100000 + last.size());
    EXPECT_EQ(ExtractPackage(Package(), other.Path(), lastChunk), ExtractResult::Stopped);
    EXPECT_TRUE(ReadFileBytes(other / "b.bin") == last);
}

TEST_F(ZipExtract, StopInsideEntryWithDataDescriptorIsNoDamage) {
    auto package =
        BuildRawPackage({{.name = "d.bin", .data = SampleData(1000000, 13), .descriptor = true}});
    WriteFileBytes(Package(), package.bytes);
    CountingProgress stopping(1);
    EXPECT_EQ(ExtractPackage(Package(), Dest(), stopping), ExtractResult::Stopped);
}

TEST_F(ZipExtract, UnwritableTargetRaisesFileException) {
    std::filesystem::create_directories(At("blocked.txt"));  // a directory where a file goes
    test::WriteWithLibzip(Package(), {{.name = "blocked.txt", .data = "x"}});
    EXPECT_THROW(Extract(), CFileException);
    if (::geteuid() != 0) {
        WriteFileBytes(At("ro.txt"), "old");
        std::filesystem::permissions(At("ro.txt"), std::filesystem::perms::owner_read);
        test::WriteWithLibzip(Package(), {{.name = "ro.txt", .data = "x"}});
        EXPECT_THROW(Extract(), CFileException);
    }
}

}  // namespace
}  // namespace korvun
