// The index file: byte layout, reading and writing back, malformed input, path operations.
#include <gtest/gtest.h>

#include "archive/game_archive.h"
#include "support/archive_writer.h"
#include "support/game_archive_probe.h"

namespace korvun {
namespace {

using test::RawFolder;
using test::RawIndex;
using test::RawRecord;

class ArchiveIndexTest : public ::testing::Test {
  protected:
    bool Load(const std::string& bytes) {
        IndexReader in(bytes.data(), bytes.size());
        return probe.LoadGameIndex(in);
    }
    std::string Save() {
        std::string out;
        IndexWriter writer(out);
        GameArchive::WriteIndex(writer, probe.Index());
        writer.Flush();
        return out;
    }
    std::vector<std::string> FreeNames() {
        std::vector<std::string> names;
        probe.Index().freeSpace.ForEach([&](const ArchiveEntry& e) { names.push_back(e.name); });
        return names;
    }

    test::RecordingMarkers markers;
    GameArchive archive{korvun::ClientDirectory("."), markers};
    GameArchiveProbe probe{archive};
};

RawRecord Rec(const std::string& name, uint64_t offset, uint32_t size, uint32_t extra = 0) {
    return RawRecord{name, offset, size, extra, {}};
}

RawIndex SampleIndex() {
    RawIndex index;
    index.headerWord = 0xA1B2C3D4;
    index.fileCount = 5;
    for (size_t i = 0; i < index.headerBlock.size(); ++i) index.headerBlock[i] = uint8_t(i * 7);
    index.root.name = "root";
    index.root.files = {Rec("top.txt", 0x1122334455667788ull, 17, 0xDEADBEEF)};
    RawFolder data{"Data", {Rec("a.dds", 18, 3), Rec("B.dds", 22, 0, 9)}, {}, {}, {}};
    data.folders.push_back(RawFolder{"Deep", {Rec("x", 30, 1)}, {}, {}, {}});
    index.root.folders.push_back(data);
    index.root.folders.push_back(RawFolder{"empty", {}, {}, {}, {}});
    index.root.folders.push_back(RawFolder{"", {Rec("y", 40, 4)}, {}, {}, {}});
    index.freeList = {Rec("old1", 100, 5), Rec("old2", 200, 9), Rec("rest space", 300, 70)};
    index.lostBytes = 0x01020304;
    return index;
}

TEST_F(ArchiveIndexTest, EmptyIndexIsSeventyTwoBytesAndRoundTrips) {
    RawIndex empty;
    std::string bytes = test::EncodeIndex(empty);
    ASSERT_EQ(bytes.size(), 72u);
    ASSERT_TRUE(Load(bytes)) << probe.LoadError();
    EXPECT_EQ(Save(), bytes);
}

TEST_F(ArchiveIndexTest, ReadsUnalignedHeaderAndWritesBackByteForByte) {
    std::string bytes = test::EncodeIndex(SampleIndex());
    ASSERT_TRUE(Load(bytes)) << probe.LoadError();
    EXPECT_EQ(probe.Index().headerWord, 0xA1B2C3D4u);
    EXPECT_EQ(probe.Index().fileCount, 5);
    EXPECT_EQ(probe.Index().headerBlock[39], uint8_t(39 * 7));
    EXPECT_EQ(probe.Index().lostBytes, 0x01020304u);
    const ArchiveEntry& top = probe.Index().root.Files().front();
    EXPECT_EQ(top.offset, 0x1122334455667788ull);
    EXPECT_EQ(top.extraWord, 0xDEADBEEFu);
    EXPECT_EQ(probe.Index().root.name, "root");
    EXPECT_TRUE(probe.Index().notes.empty());
    EXPECT_EQ(Save(), bytes);
}

TEST_F(ArchiveIndexTest, FreeListLoadsSortedWithLaterEqualRecordsFirst) {
    RawIndex index;
    index.freeList = {Rec("thirty", 0, 30), Rec("ten", 40, 10),     Rec("twenty", 60, 20),
                      Rec("first5", 90, 5), Rec("second5", 100, 5), Rec("huge", 200, 0xFFFFFFFF)};
    ASSERT_TRUE(Load(test::EncodeIndex(index)));
    EXPECT_EQ(FreeNames(),
              (std::vector<std::string>{"second5", "first5", "ten", "twenty", "thirty", "huge"}));
    // Writing stores the list order, so the result is the stored list sorted.
    index.freeList = test::ModelLoadFreeList(index.freeList);
    EXPECT_EQ(Save(), test::EncodeIndex(index));
}

TEST_F(ArchiveIndexTest, NegativeCountsMeanNoneAndNameLengthsAreNormalised) {
    RawIndex index;
    index.root.fileCount = -1;
    index.root.folders.push_back(RawFolder{"f", {}, {}, -7, INT32_MIN});
    index.root.folderCount = 1;
    RawRecord padded = Rec("pad", 5, 1);
    padded.nameLength = 10;  // "pad" and seven NULs
    index.freeList = {padded};
    ASSERT_TRUE(Load(test::EncodeIndex(index))) << probe.LoadError();
    EXPECT_TRUE(probe.Index().root.Files().empty());
    ASSERT_EQ(probe.Index().root.Subfolders().size(), 1u);
    EXPECT_EQ(probe.Index().notes.size(), 1u);
    RawIndex expected;
    expected.root.folders.push_back(RawFolder{"f", {}, {}, {}, {}});
    expected.freeList = {Rec("pad", 5, 1)};
    EXPECT_EQ(Save(), test::EncodeIndex(expected));
}

TEST_F(ArchiveIndexTest, MalformedIndexesAreRefusedWithoutOverreading) {
    auto refused = [&](const RawIndex& index, const std::string& expectedError) {
        std::string freshError;
        std::string bytes = test::EncodeIndex(index);
        IndexReader in(bytes.data(), bytes.size());
        EXPECT_FALSE(GameArchive::ReadIndex(in, &freshError));
        EXPECT_NE(freshError.find(expectedError), std::string::npos) << freshError;
    };
    RawIndex zeroName;
    zeroName.root.files = {Rec("a", 0, 1)};
    zeroName.root.files[0].nameLength = 0;
    refused(zeroName, "name length 0");

    RawIndex longName;
    longName.root.files = {Rec(std::string(300, 'n'), 0, 1)};
    refused(longName, "name length 301");

    RawIndex unterminated;
    unterminated.root.files = {Rec(std::string(256, 'n'), 0, 1)};
    unterminated.root.files[0].nameLength = 256;
    refused(unterminated, "no terminator");

    RawIndex tooManyFiles;
    tooManyFiles.root.fileCount = 1000000;
    refused(tooManyFiles, "does not fit");

    RawIndex tooManyFolders;
    tooManyFolders.root.folderCount = 0x7FFFFFFF;
    refused(tooManyFolders, "does not fit");

    RawIndex tooManyFree;
    tooManyFree.root.folders.push_back(RawFolder{"x", {}, {}, {}, {}});
    std::string bytes = test::EncodeIndexUpToTree(tooManyFree);
    test::AppendU32(bytes, 0xFFFFFFFF);
    test::AppendU32(bytes, 0);
    IndexReader in(bytes.data(), bytes.size());
    EXPECT_FALSE(probe.LoadGameIndex(in));

    RawIndex badSignature;
    badSignature.signature = "KAX";
    refused(badSignature, "signature");
}

TEST_F(ArchiveIndexTest, EveryTruncationIsRefused) {
    std::string bytes = test::EncodeIndex(SampleIndex());
    for (size_t length = 0; length < bytes.size(); ++length) {
        std::string freshError;
        std::string cut = bytes.substr(0, length);  // its own allocation, so ASan sees overreads
        IndexReader in(cut.data(), cut.size());
        EXPECT_FALSE(GameArchive::ReadIndex(in, &freshError)) << "accepted " << length << " bytes";
    }
}

TEST_F(ArchiveIndexTest, NestingDepthIsBounded) {
    auto nested = [](size_t depth) {
        RawIndex index;
        std::string bytes = index.signature;
        test::AppendU32(bytes, 0);
        test::AppendU32(bytes, 0);
        bytes.append(40, '\0');
        for (size_t i = 0; i <= depth; ++i) {
            test::AppendU32(bytes, 2);
            bytes += "d";
            bytes.push_back('\0');
            test::AppendU32(bytes, 0);
            test::AppendU32(bytes, i < depth ? 1 : 0);
        }
        test::AppendU32(bytes, 0);
        test::AppendU32(bytes, 0);
        return bytes;
    };
    std::string deepest = nested(GameArchive::kMaxFolderDepth);
    ASSERT_TRUE(Load(deepest)) << probe.LoadError();
    EXPECT_EQ(Save(), deepest);
    std::string freshError;
    std::string tooDeep = nested(100000);
    IndexReader in(tooDeep.data(), tooDeep.size());
    EXPECT_FALSE(GameArchive::ReadIndex(in, &freshError));
    EXPECT_NE(freshError.find("nested deeper"), std::string::npos);
}

TEST_F(ArchiveIndexTest, RemoveEntryMatchesPathsIgnoringCaseAndSeparator) {
    RawIndex index;
    index.fileCount = 6;
    RawFolder b{"b",
                {Rec("abcd", 0, 4), Rec("abc", 5, 3), Rec("c.dds", 9, 2), Rec("zero", 12, 0)},
                {},
                {},
                {}};
    index.root.folders.push_back(RawFolder{"a", {}, {b}, {}, {}});
    index.root.files = {Rec("top", 20, 1)};
    index.freeList = {Rec("big", 100, 50)};
    ASSERT_TRUE(Load(test::EncodeIndex(index)));

    probe.RemoveEntry("A\\B\\C.DDS");
    EXPECT_EQ(probe.Index().fileCount, 5);
    probe.RemoveEntry("a/b\\c.dds");  // already gone: nothing changes
    probe.RemoveEntry("a\\missing\\c.dds");
    probe.RemoveEntry("a\\b\\");
    probe.RemoveEntry("a\\\\b\\abc");
    probe.RemoveEntry("top/");
    EXPECT_EQ(probe.Index().fileCount, 5);

    probe.RemoveEntry("a/b/abc");   // leaves abcd that precedes it
    probe.RemoveEntry("a/b/ZERO");  // size 0: no free record
    EXPECT_EQ(probe.Index().fileCount, 3);
    const ArchiveFolder& folder = probe.Index().root.Subfolders().front().Subfolders().front();
    ASSERT_EQ(folder.Files().size(), 1u);
    EXPECT_EQ(folder.Files().front().name, "abcd");
    // Released regions go to the end, after the sorted loaded part.
    EXPECT_EQ(FreeNames(), (std::vector<std::string>{"big", "c.dds", "abc"}));
    EXPECT_EQ(probe.Index().root.Subfolders().size(), 1u);  // folders are never removed
}

TEST_F(ArchiveIndexTest, RemoveEntryTakesFirstOfCaseTwinsInLargeFolders) {
    RawIndex index;
    for (int i = 0; i < 40; ++i) index.root.files.push_back(Rec("f" + std::to_string(i), i, 1));
    index.root.files.insert(index.root.files.begin() + 5, Rec("Twin", 500, 7));
    index.root.files.push_back(Rec("TWIN", 600, 8));
    ASSERT_TRUE(Load(test::EncodeIndex(index)));
    probe.RemoveEntry("twin");
    probe.AddEntry("twin", ArchiveEntry{"twin", 700, 9, 0});
    probe.RemoveEntry("twin");
    std::vector<uint64_t> left;
    for (const ArchiveEntry& e : probe.Index().root.Files()) {
        if (NamesEqualIgnoringCase(e.name, "twin")) left.push_back(e.offset);
    }
    EXPECT_EQ(left, std::vector<uint64_t>{700});
}

TEST_F(ArchiveIndexTest, AddEntryCreatesAndReusesFolders) {
    probe.AddEntry("x\\y\\z.txt", ArchiveEntry{"z.txt", 1, 2, 3});
    probe.AddEntry("X\\Y\\w.txt", ArchiveEntry{"w.txt", 4, 5, 6});
    probe.AddEntry("a\\b.txt", ArchiveEntry{"b.txt", 7, 8, 9});
    probe.AddEntry("top.txt", ArchiveEntry{"top.txt", 10, 11, 12});
    RawIndex expected;
    RawFolder y{"y", {Rec("z.txt", 1, 2, 3), Rec("w.txt", 4, 5, 6)}, {}, {}, {}};
    expected.root.folders.push_back(RawFolder{"x", {}, {y}, {}, {}});
    expected.root.folders.push_back(RawFolder{"a", {Rec("b.txt", 7, 8, 9)}, {}, {}, {}});
    expected.root.files = {Rec("top.txt", 10, 11, 12)};
    EXPECT_EQ(Save(), test::EncodeIndex(expected));
}

}  // namespace
}  // namespace korvun
