// Reading a package's directory: the end record search, the prefix, the record checks, names
// and split volumes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/zip_test_packages.h"
#include "unit/platform_test_helpers.h"
#include "zip/zip_exception.h"
#include "zip/zip_reader.h"

namespace korvun {
namespace {

using test::BuildRawPackage;
using test::Put16;
using test::Put32;
using test::RawEntry;
using test::ScratchDir;
using test::WriteFileBytes;

// The cause of the CZipException that opening the package raises; 0 when it opens.
int OpenCause(const std::string& path, uint32_t searchBuffer = 32768) {
    CZipReader reader;
    reader.SetBufferSizes(65535, 16384, searchBuffer);
    try {
        reader.OpenPackage(path);
    } catch (const CZipException& e) {
        EXPECT_FALSE(e.Path().empty());
        return e.Cause();
    }
    return 0;
}

std::vector<std::string> EntryNames(CZipReader& reader) {
    std::vector<std::string> names;
    CZipEntry entry;
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        EXPECT_TRUE(reader.GetEntryInfo(entry, static_cast<uint16_t>(i)));
        names.push_back(entry.Name());
    }
    return names;
}

// Reads an entry completely through the reader; the result of CloseEntry in *closeResult.
std::string ReadWhole(CZipReader& reader, uint16_t index, EntryCloseResult* closeResult = nullptr) {
    EXPECT_TRUE(reader.OpenEntry(index));
    std::string out;
    char buffer[65535];
    uint32_t n;
    do {
        n = reader.ReadEntry(buffer, sizeof buffer);
        out.append(buffer, n);
    } while (n == sizeof buffer);
    EntryCloseResult result = reader.CloseEntry(nullptr, false);
    if (closeResult != nullptr) *closeResult = result;
    return out;
}

TEST(ZipDirectory, FilesWithoutEndRecordRaiseCause18) {
    ScratchDir dir;
    for (size_t size : {0, 1, 3}) {
        WriteFileBytes(dir / "short", std::string(size, 'P'));
        EXPECT_EQ(OpenCause(dir / "short"), kCauseNoEndRecord) << size;
    }
    // A signature further from the end than the longest end record is not looked for.
    std::string far = std::string("PK\x05\x06", 4) + std::string(70000, '\0');
    WriteFileBytes(dir / "far", far);
    EXPECT_EQ(OpenCause(dir / "far"), kCauseNoEndRecord);
}

TEST(ZipDirectory, SignatureWithTooFewBytesAfterItIsDamaged) {
    ScratchDir dir;
    WriteFileBytes(dir / "cut",
                   std::string(100, 'x') + std::string("PK\x05\x06", 4) + "0123456789");
    EXPECT_EQ(OpenCause(dir / "cut"), kCauseBadPackage);
}

TEST(ZipDirectory, SignatureAcrossSearchChunksIsFound) {
    ScratchDir dir;
    // With 1,024-byte chunks, the signature starts 1 to 3 bytes before the first chunk and
    // so straddles its border; a comment of the right length puts it there.
    for (size_t before = 0; before <= 4; ++before) {
        auto package = BuildRawPackage({{.name = "a.txt", .data = "hello"}},
                                       std::string(1024 + before - 22, 'c'));
        WriteFileBytes(dir / "p.zip", package.bytes);
        CZipReader reader;
        reader.SetBufferSizes(65535, 16384, 1024);
        ASSERT_NO_THROW(reader.OpenPackage(dir / "p.zip")) << before;
        ASSERT_EQ(reader.GetEntryCount(), 1);
        EXPECT_EQ(ReadWhole(reader, 0), "hello");
    }
    // The same with the updater's own chunk size and the longest comment.
    auto longest = BuildRawPackage({{.name = "b.txt", .data = "world"}}, std::string(65535, 'c'));
    WriteFileBytes(dir / "long.zip", longest.bytes);
    EXPECT_EQ(OpenCause(dir / "long.zip"), 0);
}

TEST(ZipDirectory, SignatureInCommentNearestTheEndWins) {
    ScratchDir dir;
    // The comment carries a complete fake end record of an empty package: it is nearer the
    // end of the file than the real one, so the package reads as empty.
    std::string fake(22, '\0');
    Put32(fake, 0, 0x06054B50);
    auto package = BuildRawPackage({{.name = "a.txt", .data = "hello"}}, "note " + fake);
    WriteFileBytes(dir / "fake.zip", package.bytes);
    CZipReader reader;
    reader.OpenPackage(dir / "fake.zip");
    EXPECT_EQ(reader.GetEntryCount(), 0);

    // A bare signature in the comment makes the package unreadable.
    auto broken = BuildRawPackage({{.name = "a.txt", .data = "hello"}},
                                  "PK\x05\x06" + std::string(30, '\xff'));
    WriteFileBytes(dir / "broken.zip", broken.bytes);
    EXPECT_EQ(OpenCause(dir / "broken.zip"), kCauseBadPackage);
}

TEST(ZipDirectory, EntryCountsAndSizesMustAgree) {
    ScratchDir dir;
    auto empty = BuildRawPackage({});
    WriteFileBytes(dir / "empty.zip", empty.bytes);
    CZipReader reader;
    reader.OpenPackage(dir / "empty.zip");
    EXPECT_EQ(reader.GetEntryCount(), 0);
    EXPECT_FALSE(reader.IsDirectoryEntry(0));
    CZipEntry entry;
    EXPECT_FALSE(reader.GetEntryInfo(entry, 0));

    auto sizeWithoutEntries = BuildRawPackage({{.name = "a", .data = "x"}});
    Put16(sizeWithoutEntries.bytes, sizeWithoutEntries.end + 10, 0);
    WriteFileBytes(dir / "p1.zip", sizeWithoutEntries.bytes);
    EXPECT_EQ(OpenCause(dir / "p1.zip"), kCauseBadPackage);

    auto entriesWithoutSize = BuildRawPackage({{.name = "a", .data = "x"}});
    Put32(entriesWithoutSize.bytes, entriesWithoutSize.end + 12, 0);
    Put32(entriesWithoutSize.bytes, entriesWithoutSize.end + 16,
          static_cast<uint32_t>(entriesWithoutSize.end));
    WriteFileBytes(dir / "p2.zip", entriesWithoutSize.bytes);
    EXPECT_EQ(OpenCause(dir / "p2.zip"), kCauseBadPackage);

    // A directory that claims more than the file holds: found before allocating for it.
    auto tooMany = BuildRawPackage({{.name = "a", .data = "x"}});
    Put16(tooMany.bytes, tooMany.end + 8, 65535);
    Put16(tooMany.bytes, tooMany.end + 10, 65535);
    WriteFileBytes(dir / "p3.zip", tooMany.bytes);
    EXPECT_EQ(OpenCause(dir / "p3.zip"), kCauseBadPackage);

    auto pastEnd = BuildRawPackage({{.name = "a", .data = "x"}});
    Put32(pastEnd.bytes, pastEnd.end + 12, 0x7FFFFFFF);
    WriteFileBytes(dir / "p4.zip", pastEnd.bytes);
    EXPECT_EQ(OpenCause(dir / "p4.zip"), kCauseBadPackage);

    // A name length that runs past the end of the file.
    auto longName = BuildRawPackage({{.name = "a", .data = "x"}});
    Put16(longName.bytes, longName.central[0] + 28, 60000);
    WriteFileBytes(dir / "p5.zip", longName.bytes);
    EXPECT_EQ(OpenCause(dir / "p5.zip"), kCauseBadPackage);

    auto badSignature = BuildRawPackage({{.name = "a", .data = "x"}});
    Put32(badSignature.bytes, badSignature.central[0], 0x02014B51);
    WriteFileBytes(dir / "p6.zip", badSignature.bytes);
    EXPECT_EQ(OpenCause(dir / "p6.zip"), kCauseBadPackage);
}

TEST(ZipDirectory, BytesAheadOfTheZipDataAreSkipped) {
    ScratchDir dir;
    test::WriteWithLibzip(dir / "plain.zip",
                          {{.name = "Data/a.txt", .data = "alpha"},
                           {.name = "b.bin", .data = test::SampleData(70000, 1)}});
    WriteFileBytes(dir / "stub.zip",
                   "MZ" + std::string(4094, '\x90') + test::ReadFileBytes(dir / "plain.zip"));
    CZipReader reader;
    reader.OpenPackage(dir / "stub.zip");
    EXPECT_EQ(EntryNames(reader), (std::vector<std::string>{"Data\\a.txt", "b.bin"}));
    EXPECT_EQ(ReadWhole(reader, 0), "alpha");
    EXPECT_TRUE(ReadWhole(reader, 1) == test::SampleData(70000, 1));
}

TEST(ZipDirectory, LocalHeaderMustMatchItsCentralRecord) {
    ScratchDir dir;
    auto opens = [&](const std::string& bytes) {
        WriteFileBytes(dir / "p.zip", bytes);
        CZipReader reader;
        reader.OpenPackage(dir / "p.zip");
        try {
            ReadWhole(reader, 0);
        } catch (const CZipException& e) {
            return e.Cause();
        }
        return 0;
    };
    const auto sound = BuildRawPackage({{.name = "name.txt", .data = "payload payload"}});
    EXPECT_EQ(opens(sound.bytes), 0);

    auto method = sound;
    Put16(method.bytes, method.local[0] + 8, 0);
    EXPECT_EQ(opens(method.bytes), kCauseBadPackage);

    auto flags = sound;
    Put16(flags.bytes, flags.local[0] + 6, 0x0002);
    EXPECT_EQ(opens(flags.bytes), kCauseBadPackage);

    auto nameLength = sound;
    Put16(nameLength.bytes, nameLength.local[0] + 26, 7);
    EXPECT_EQ(opens(nameLength.bytes), kCauseBadPackage);

    auto crc = sound;
    Put32(crc.bytes, crc.local[0] + 14, 0x12345678);
    EXPECT_EQ(opens(crc.bytes), kCauseBadPackage);

    auto signature = sound;
    Put32(signature.bytes, signature.local[0], 0x04034B51);
    EXPECT_EQ(opens(signature.bytes), kCauseBadPackage);

    // Another method in both records cannot be read.
    auto unsupported = sound;
    Put16(unsupported.bytes, unsupported.local[0] + 8, 12);
    Put16(unsupported.bytes, unsupported.central[0] + 10, 12);
    EXPECT_EQ(opens(unsupported.bytes), kCauseBadPackage);

    // A different name of the same length, or different times, pass.
    auto renamed = sound;
    renamed.bytes.replace(renamed.local[0] + 30, 8, "NAME.TXT");
    Put16(renamed.bytes, renamed.local[0] + 10, 0x1234);
    Put16(renamed.bytes, renamed.local[0] + 12, 0x4321);
    EXPECT_EQ(opens(renamed.bytes), 0);
}

TEST(ZipDirectory, DataDescriptorsWithAndWithoutSignature) {
    ScratchDir dir;
    const std::string data = test::SampleData(100000, 7);
    for (bool signature : {true, false}) {
        for (uint16_t method : {0, 8}) {
            auto package = BuildRawPackage({{.name = "d.bin",
                                             .data = data,
                                             .method = method,
                                             .descriptor = true,
                                             .descriptorSignature = signature},
                                            {.name = "e.txt", .data = "after"}});
            WriteFileBytes(dir / "p.zip", package.bytes);
            CZipReader reader;
            reader.OpenPackage(dir / "p.zip");
            EntryCloseResult result = EntryCloseResult::NotOpen;
            EXPECT_TRUE(ReadWhole(reader, 0, &result) == data);
            EXPECT_EQ(result, EntryCloseResult::Complete);
            EXPECT_EQ(ReadWhole(reader, 1), "after");
        }
    }
    // A descriptor that disagrees with the central record is a damaged package.
    auto package = BuildRawPackage({{.name = "d.bin", .data = data, .descriptor = true}});
    auto& bytes = package.bytes;
    const size_t descriptor = package.central[0] - 16;  // signature, CRC, sizes
    Put32(bytes, descriptor + 12, static_cast<uint32_t>(data.size() + 1));
    WriteFileBytes(dir / "bad.zip", bytes);
    CZipReader reader;
    reader.OpenPackage(dir / "bad.zip");
    try {
        ReadWhole(reader, 0);
        FAIL() << "no raise";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.Cause(), kCauseBadPackage);
    }
}

TEST(ZipDirectory, NamesAreConvertedToUtf8WithBackslashes) {
    ScratchDir dir;
    test::ScopedEnv locale("LC_ALL", "C");
    // 0x82 and 0x94 are e-acute and o-umlaut in CP437.
    auto package =
        BuildRawPackage({{.name = "Data/caf\x82/b\x94"
                                  "den.txt",
                          .data = "1"},
                         {.name = "utf/\xc3\xa9t\xc3\xa9.txt", .data = "2", .flags = 0x0800}});
    WriteFileBytes(dir / "names.zip", package.bytes);
    CZipReader reader;
    reader.OpenPackage(dir / "names.zip");
    EXPECT_EQ(EntryNames(reader), (std::vector<std::string>{"Data\\caf\xc3\xa9\\b\xc3\xb6"
                                                            "den.txt",
                                                            "utf\\\xc3\xa9t\xc3\xa9.txt"}));
}

TEST(ZipDirectory, EncryptedEntryCannotBeOpened) {
    ScratchDir dir;
    auto package = BuildRawPackage({{.name = "secret.txt", .data = "x", .flags = 0x0001}});
    WriteFileBytes(dir / "p.zip", package.bytes);
    CZipReader reader;
    reader.OpenPackage(dir / "p.zip");
    EXPECT_FALSE(reader.OpenEntry(0));
    EXPECT_FALSE(reader.OpenEntry(1));  // no such entry
}

TEST(ZipDirectory, NonZeroDiskInSingleFilePackageIsDamaged) {
    ScratchDir dir;
    auto package = BuildRawPackage({{.name = "a.txt", .data = "x"}});
    Put16(package.bytes, package.central[0] + 34, 2);
    WriteFileBytes(dir / "p.zip", package.bytes);
    CZipReader reader;
    reader.OpenPackage(dir / "p.zip");
    try {
        reader.OpenEntry(0);
        FAIL() << "no raise";
    } catch (const CZipException& e) {
        EXPECT_EQ(e.Cause(), kCauseBadPackage);
    }
}

TEST(ZipDirectory, MissingPackageRaisesFileException) {
    CZipReader reader;
    EXPECT_THROW(reader.OpenPackage("/nonexistent/pk0001.patch"), CFileException);
    EXPECT_FALSE(reader.IsOpen());
}

// Info-ZIP's zip writes split packages as name.z01, name.z02, ..., name.zip; the updater's
// numbering is name.000, name.001, ..., name.zip.
TEST(ZipDirectory, SplitPackageReadsAcrossNumberedVolumes) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "src/Data");
    test::WriteFileBytes(dir / "src/Data/big.bin", test::SampleData(300000, 3));
    test::WriteFileBytes(dir / "src/small.txt", "small");
    const std::string command = "cd " + dir.Path() + "/src && zip -q -r -s 64k ../pk.zip . 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    int volumes = 0;
    for (int k = 1; std::filesystem::exists(
             dir / ("pk.z" + std::string(k < 10 ? "0" : "") + std::to_string(k)));
         ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "pk.%.3d", k - 1);
        std::filesystem::rename(dir / ("pk.z" + std::string(k < 10 ? "0" : "") + std::to_string(k)),
                                dir / name);
        ++volumes;
    }
    ASSERT_GE(volumes, 2);

    CZipReader reader;
    reader.OpenPackage(dir / "pk.zip");
    CZipEntry entry;
    bool found = false;
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        reader.GetEntryInfo(entry, static_cast<uint16_t>(i));
        if (entry.Name() == "Data\\big.bin") {
            EXPECT_TRUE(ReadWhole(reader, static_cast<uint16_t>(i)) == test::SampleData(300000, 3));
            found = true;
        }
    }
    EXPECT_TRUE(found);

    // A missing volume is a file that cannot be opened.
    std::filesystem::remove(dir / "pk.000");
    CZipReader again;
    auto readAll = [&] {
        again.OpenPackage(dir / "pk.zip");
        for (int i = 0; i < again.GetEntryCount(); ++i) {
            if (!again.IsDirectoryEntry(static_cast<uint16_t>(i)))
                ReadWhole(again, static_cast<uint16_t>(i));
        }
    };
    EXPECT_THROW(readAll(), CFileException);
}

}  // namespace
}  // namespace korvun
