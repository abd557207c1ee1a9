// Merging an update archive and applying the deletion list, on real files in a scratch game
// directory, compared byte for byte with archives the test builds from the layout.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "archive/game_archive.h"
#include "platform/file_system.h"
#include "support/archive_writer.h"
#include "support/recording_progress.h"
#include "update/patch_application.h"

namespace korvun {
namespace {

using test::ArchiveBuilder;
using test::RawFolder;
using test::RawIndex;
using test::RawRecord;
using test::ReadFileBytes;
using test::WriteFileBytes;

RawRecord Rec(const std::string& name, uint64_t offset, uint32_t size, uint32_t extra = 0) {
    return RawRecord{name, offset, size, extra, {}};
}

class ArchiveMergeTest : public ::testing::Test {
  protected:
    void Install(const ArchiveBuilder& game, const ArchiveBuilder& update) {
        WriteFileBytes("data.kah", test::EncodeIndex(game.index));
        WriteFileBytes("data.kaf", game.data);
        WriteFileBytes("update.kah", test::EncodeIndex(update.index));
        WriteFileBytes("update.kaf", update.data);
        WriteFileBytes("update.log", "log");
    }
    bool Merge() {
        GameArchive archive(korvun::ClientDirectory("."), markers, &progress);
        Status merged = MergeStatus(archive.MergeUpdateArchive());
        lastMessage = merged.Message();
        return merged.Ok();
    }
    // Merges and expects the result the plain model gives.
    void MergeAndCompare(ArchiveBuilder game, const ArchiveBuilder& update) {
        Install(game, update);
        ASSERT_TRUE(Merge()) << lastMessage;
        test::ModelMerge(game.index, game.data, update.index, update.data);
        EXPECT_EQ(ReadFileBytes("data.kah"), test::EncodeIndex(game.index));
        EXPECT_EQ(ReadFileBytes("data.kaf"), game.data);
        EXPECT_FALSE(test::PathExists("update.kah"));
        EXPECT_FALSE(test::PathExists("update.kaf"));
        EXPECT_FALSE(test::PathExists("update.log"));
        EXPECT_EQ(markers.Markers(), (std::vector<std::string>{"UPDATE_START", "UPDATE_END"}));
    }
    // A failed merge changes neither archive file.
    void ExpectFailure(const std::string& message, std::vector<std::string> expectedMarkers = {}) {
        std::string index = ReadFileBytes("data.kah"), data = ReadFileBytes("data.kaf");
        EXPECT_FALSE(Merge());
        EXPECT_EQ(lastMessage, message);
        EXPECT_EQ(markers.Markers(), expectedMarkers);
        EXPECT_EQ(ReadFileBytes("data.kah"), index);
        EXPECT_EQ(ReadFileBytes("data.kaf"), data);
    }

    test::ScopedGameDir dir;
    test::RecordingProgress progress;
    test::RecordingMarkers markers;
    std::string lastMessage;  // of the last merge
};

ArchiveBuilder SmallGame() {
    ArchiveBuilder game;
    game.index.headerWord = 7;
    game.index.headerBlock.fill(0x11);
    game.Add("Data\\Item\\sword.dds", std::string(100, 's'), 5);
    game.Add("Data\\readme.txt", "hello");
    game.index.lostBytes = 42;
    return game;
}

TEST_F(ArchiveMergeTest, ReplacesAFileInAnyCaseAndReusesItsRegion) {
    ArchiveBuilder game = SmallGame();
    ArchiveBuilder update;
    update.index.headerWord = 9;
    update.index.headerBlock.fill(0x22);
    update.Add("data\\ITEM\\Sword.dds", std::string(98, 'n'), 77);
    MergeAndCompare(game, update);
    std::optional<ArchiveIndex> check = GameArchive::ReadIndexFile("data.kah", nullptr);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->fileCount, 2);
    EXPECT_EQ(check->headerWord, 9u);
    EXPECT_EQ(check->headerBlock[0], 0x22);
    EXPECT_EQ(check->lostBytes, 42u);
    // The 98 bytes went into the old 100-byte region; its last byte became a remainder.
    const ArchiveEntry& sword =
        check->root.Subfolders().front().Subfolders().front().Files().front();
    EXPECT_EQ(sword.offset, 0u);
    EXPECT_EQ(sword.name, "Sword.dds");
    std::vector<ArchiveEntry> free;
    check->freeSpace.ForEach([&](const ArchiveEntry& e) { free.push_back(e); });
    ASSERT_EQ(free.size(), 1u);
    EXPECT_EQ(free[0], (ArchiveEntry{"rest space", 99, 1, 0}));
    EXPECT_EQ(progress.total, 1u);
    EXPECT_EQ(progress.done, 1u);
}

TEST_F(ArchiveMergeTest, AddsNewFoldersAndCountsTheUpdateFileCount) {
    ArchiveBuilder game = SmallGame();
    ArchiveBuilder update;
    update.Add("new\\deep\\a.bin", "aaa");
    update.Add("new\\b.bin", "");
    update.Add("top.bin", std::string(1000000, 'x'));  // exactly two chunks
    update.Add("big.bin", std::string(1200001, 'y'));
    update.index.root.folders.push_back(RawFolder{"emptyfolder", {}, {}, {}, {}});
    update.index.fileCount = 3;  // the header's value counts, not the entries found
    MergeAndCompare(game, update);
    std::optional<ArchiveIndex> check = GameArchive::ReadIndexFile("data.kah", nullptr);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->fileCount, 2 + 3);
    EXPECT_EQ(check->root.FindSubfolder("emptyfolder"), nullptr);
    EXPECT_EQ(progress.total, 3u);
    EXPECT_EQ(progress.done, 4u);
}

TEST_F(ArchiveMergeTest, EmptyUpdateRewritesHeaderAndRemovesUpdateFiles) {
    ArchiveBuilder game = SmallGame();
    game.index.freeList = {Rec("gap", game.AddGap(10), 9)};
    ArchiveBuilder update;
    update.index.headerWord = 0xFFFFFFFF;
    update.index.headerBlock.fill(0x5A);
    MergeAndCompare(game, update);
}

TEST_F(ArchiveMergeTest, FirstFitUsesReleasedRegionsInTheOrderTheyArose) {
    ArchiveBuilder game;
    game.Add("a", std::string(50, 'a'));
    game.Add("b", std::string(300, 'b'));
    game.Add("c", std::string(200, 'c'));
    game.index.freeList = {Rec("loaded30", game.AddGap(31), 30),
                           Rec("loaded10", game.AddGap(11), 10),
                           Rec("loaded20", game.AddGap(21), 20)};
    ArchiveBuilder update;
    update.Add("B", std::string(150, 'B'));   // into b's region, leaving a remainder of 149
    update.Add("c", std::string(250, 'C'));   // no region big enough: appended
    update.Add("n1", std::string(100, '1'));  // the remainder of b (released c is later)
    update.Add("n2", std::string(15, '2'));   // loaded20
    update.Add("n3", "");                     // loaded10, leaving 9
    update.Add("a", std::string(5, 'A'));     // loaded30
    MergeAndCompare(game, update);
}

TEST_F(ArchiveMergeTest, MarkersBracketTheIndexWriteAfterAllContentIsCopied) {
    ArchiveBuilder game = SmallGame();
    ArchiveBuilder update;
    update.Add("Data\\readme.txt", "new text");
    update.Add("extra.txt", "extra");
    std::string oldIndex = test::EncodeIndex(game.index);
    MergeAndCompare(game, update);
    ASSERT_EQ(markers.writes.size(), 2u);
    // UPDATE_START: the new content is in data.kaf, the index on disk is still the old one.
    EXPECT_EQ(markers.writes[0].indexBytes, oldIndex);
    EXPECT_EQ(markers.writes[0].dataBytes, ReadFileBytes("data.kaf"));
    // UPDATE_END: the new index is in place.
    EXPECT_EQ(markers.writes[1].indexBytes, ReadFileBytes("data.kah"));
    EXPECT_FALSE(test::PathExists("data.kah.tmp"));
}

TEST_F(ArchiveMergeTest, MissingFilesReportC39AndC40) {
    ArchiveBuilder game = SmallGame(), update;
    Install(game, update);
    std::filesystem::remove("update.kaf");
    ExpectFailure("update Cannot find the file.c40");
    EXPECT_TRUE(test::PathExists("update.kah"));
    std::filesystem::remove("data.kaf");
    EXPECT_FALSE(Merge());
    EXPECT_EQ(lastMessage, "data Cannot find the file.c39");
    EXPECT_EQ(markers.Markers(), std::vector<std::string>{"UPDATE_START"});
}

// Lets at most `spare` files be open at once while it lives, as a process at its descriptor
// limit would: an open beyond that fails with EMFILE. Through the file system rather than the
// process's limit, which would also take the descriptors the sanitizers' own checks need.
class DescriptorLimit : public NativeFileSystem {
  public:
    explicit DescriptorLimit(int spare) : spare_(spare) { InstallFileSystem(this); }
    ~DescriptorLimit() override { InstallFileSystem(nullptr); }

    FileHandle Open(const std::string& native, OpenMode mode) override {
        if (open_ >= spare_) {
            errno = EMFILE;
            return FileHandle();
        }
        FileHandle handle = NativeFileSystem::Open(native, mode);
        if (handle.IsOpen()) ++open_;
        return handle;
    }
    bool Close(int fd) override {
        --open_;
        return NativeFileSystem::Close(fd);
    }

  private:
    const int spare_;
    int open_ = 0;
};

TEST_F(ArchiveMergeTest, IndexesThatCannotBeOpenedReportC41AndC42) {
    ArchiveBuilder game = SmallGame(), update;
    update.Add("x", "y");
    Install(game, update);
    {
        DescriptorLimit limit(0);
        ExpectFailure("data.kah Cannot open the file.c41");
    }
    {
        DescriptorLimit limit(1);
        ExpectFailure("update.kah Cannot open the file.c42");
    }
    EXPECT_TRUE(test::PathExists("update.kah"));
}

TEST_F(ArchiveMergeTest, MalformedIndexesReportC43AndC44BeforeAnythingIsWritten) {
    ArchiveBuilder game = SmallGame(), update;
    update.Add("Data\\readme.txt", "replacement");
    Install(game, update);

    WriteFileBytes("data.kah", "KAX" + test::EncodeIndex(game.index).substr(3));
    ExpectFailure(
        "Update error: data header file error"
        "c43");
    std::string whole = test::EncodeIndex(game.index);
    WriteFileBytes("data.kah", whole.substr(0, whole.size() - 1));  // lostBytes cut short
    ExpectFailure(
        "Update error: data header file error"
        "c43");
    WriteFileBytes("data.kah", "");
    ExpectFailure(
        "Update error: data header file error"
        "c43");

    WriteFileBytes("data.kah", whole);
    WriteFileBytes("update.kah", "KAH" + test::EncodeIndex(update.index).substr(3, 40));
    ExpectFailure(
        "Update error: update header file error"
        "c44");
    RawIndex bad = update.index;
    bad.root.folders[0].files[0].nameLength = 0;
    WriteFileBytes("update.kah", test::EncodeIndex(bad));
    ExpectFailure(
        "Update error: update header file error"
        "c44");
    RawIndex badSignature = update.index;
    badSignature.signature = "kah";
    WriteFileBytes("update.kah", test::EncodeIndex(badSignature));
    ExpectFailure(
        "Update error: update header file error"
        "c44");

    // A path that would not fit the format's 2047-byte path buffers is refused as well.
    RawIndex longPath;
    RawFolder* folder = &longPath.root;
    for (int i = 0; i < 9; ++i) {
        folder->folders.push_back(RawFolder{std::string(250, 'd'), {}, {}, {}, {}});
        folder = &folder->folders.back();
    }
    folder->files.push_back(Rec("f", 0, 0));
    WriteFileBytes("update.kah", test::EncodeIndex(longPath));
    ExpectFailure(
        "Update error: update header file error"
        "c44");
    EXPECT_TRUE(test::PathExists("update.kah"));
}

TEST_F(ArchiveMergeTest, UpdateDataShorterThanItsIndexReportsC45) {
    ArchiveBuilder game = SmallGame(), update;
    update.Add("one", "1111");
    update.Add("two", std::string(600000, '2'));
    Install(game, update);
    WriteFileBytes("update.kaf", update.data.substr(0, 100000));
    // The first file was copied to the end of data.kaf, unreferenced; the index is unchanged.
    std::string index = ReadFileBytes("data.kah");
    EXPECT_FALSE(Merge());
    EXPECT_EQ(lastMessage,
              "Update error: update fail"
              "c45");
    EXPECT_TRUE(markers.Markers().empty());
    EXPECT_EQ(ReadFileBytes("data.kah"), index);
    EXPECT_EQ(ReadFileBytes("data.kaf").substr(0, game.data.size()), game.data);
    EXPECT_TRUE(test::PathExists("update.kaf"));
}

TEST_F(ArchiveMergeTest, FailedWriteToDataFileReportsC45) {
    ArchiveBuilder game = SmallGame(), update;
    update.Add("big", std::string(300000, 'b'));
    Install(game, update);
    // A file size limit makes write() fail the way a full disk does.
    sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = game.data.size() + 1000;
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string index = ReadFileBytes("data.kah");
    bool merged = Merge();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(merged);
    EXPECT_EQ(lastMessage,
              "Update error: update fail"
              "c45");
    EXPECT_EQ(ReadFileBytes("data.kah"), index);
}

TEST_F(ArchiveMergeTest, IndexThatCannotBeWrittenReportsC46AndKeepsTheOldOne) {
    ArchiveBuilder game = SmallGame(), update;
    update.Add("x", "y");
    Install(game, update);
    std::filesystem::create_directory("data.kah.tmp");  // the temporary file cannot be made
    std::string index = ReadFileBytes("data.kah");
    EXPECT_FALSE(Merge());
    EXPECT_EQ(lastMessage,
              "Update error: saveheader"
              "c46");
    EXPECT_EQ(markers.Markers(), std::vector<std::string>{"UPDATE_START"});
    EXPECT_EQ(ReadFileBytes("data.kah"), index);
    EXPECT_TRUE(test::PathExists("update.kah"));
}

// Random archives with case twins, empty files, shared names and a mixed free list, merged by
// the real code and by the plain model.
class RandomArchives {
  public:
    explicit RandomArchives(unsigned seed) : rng_(seed) {}

    std::string Name() {
        static const char* names[] = {"a", "A", "b.dds", "B.DDS", "c", "Item", "item", "x.txt"};
        return names[rng_() % 8];
    }
    std::string Path() {
        std::string path;
        for (unsigned depth = rng_() % 3; depth > 0; --depth) path += Name() + "\\";
        return path + Name();
    }
    std::string Content() {
        unsigned kind = rng_() % 10;
        size_t size = kind == 0 ? 0 : kind < 8 ? rng_() % 60 : rng_() % 3000;
        return std::string(size, static_cast<char>('a' + rng_() % 26));
    }
    void Fill(ArchiveBuilder& builder, int files, bool withFreeList) {
        for (int i = 0; i < files; ++i) builder.Add(Path(), Content(), rng_());
        if (!withFreeList) return;
        for (int i = rng_() % 12; i > 0; --i) {
            uint32_t size = rng_() % 80;
            builder.index.freeList.push_back(Rec("free", builder.AddGap(size + 1), size));
        }
    }
    unsigned Next() { return rng_(); }

  private:
    std::mt19937 rng_;
};

// The byte after each content of update.kaf is not part of it; make it visible if copied.
void MarkTerminators(const RawFolder& folder, std::string& data) {
    for (const RawRecord& file : folder.files) data[file.offset + file.size] = 'Z';
    for (const RawFolder& sub : folder.folders) MarkTerminators(sub, data);
}

TEST_F(ArchiveMergeTest, ShortUpdateDataInsideARunOfSmallFilesReportsC45) {
    ArchiveBuilder game = SmallGame(), update;
    for (int i = 0; i < 10; ++i) update.Add("run\\f" + std::to_string(i), std::string(100, 'r'));
    Install(game, update);
    WriteFileBytes("update.kaf", update.data.substr(0, 550));
    std::string index = ReadFileBytes("data.kah");
    EXPECT_FALSE(Merge());
    EXPECT_EQ(lastMessage,
              "Update error: update fail"
              "c45");
    EXPECT_EQ(ReadFileBytes("data.kah"), index);
}

TEST_F(ArchiveMergeTest, RandomMergesMatchThePlainModel) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomArchives random(seed);
        ArchiveBuilder game, update;
        random.Fill(game, 30 + random.Next() % 40, true);
        random.Fill(update, random.Next() % 40, false);
        MarkTerminators(update.index.root, update.data);
        markers.writes.clear();
        MergeAndCompare(game, update);
        if (HasFatalFailure()) return;
    }
}

TEST_F(ArchiveMergeTest, LargeFolderMergeMatchesThePlainModel) {
    // Enough entries in one folder that lookups go through the folder's name index.
    ArchiveBuilder game, update;
    for (int i = 0; i < 300; ++i)
        game.Add("big\\f" + std::to_string(i % 250), std::string(i % 7, 'g'));
    for (int i = 0; i < 120; ++i)
        update.Add("BIG\\F" + std::to_string(i * 3), std::string(i % 5, 'u'));
    MergeAndCompare(game, update);
}

TEST_F(ArchiveMergeTest, ReplacementsFillingManyMegabytesOfFreeSpaceMatchThePlainModel) {
    // Enough small replacements into released regions that they are written in several
    // batches and spans: neighbours less than a block apart, others far apart.
    std::mt19937 rng(11);
    ArchiveBuilder game, update;
    for (int i = 0; i < 160; ++i) {
        size_t size = 40000 + rng() % 20000;
        game.Add("pack\\p" + std::to_string(i), std::string(size, 'g'));
        if (i % 7 == 0) game.AddGap(rng() % 2 ? 100 : 9000);
        // Most fit their old region exactly, so that runs of them lie back to back.
        if (i % 5 != 4) size = i % 3 == 0 ? size - rng() % 10000 : size;
        update.Add("PACK\\P" + std::to_string(i),
                   std::string(size, static_cast<char>('a' + i % 26)));
    }
    // Too large to wait with the others, and one beyond the end of data.kaf.
    update.Add("pack\\p1", std::string(70000, 'L'));
    game.index.freeList.push_back(Rec("far", game.data.size() + 5000, 200));
    update.Add("pack\\far", std::string(150, 'F'));
    MarkTerminators(update.index.root, update.data);
    ASSERT_GT(update.data.size(), 4u << 20);
    MergeAndCompare(game, update);
}

TEST_F(ArchiveMergeTest, OverlappingFreeRecordsEndAsIfCopiedOneByOne) {
    // A damaged free list whose records overlap each other and a live file: the later copy
    // wins where they overlap, as in a copy-at-a-time merge.
    ArchiveBuilder game, update;
    game.Add("keep", std::string(300, 'k'));
    uint64_t gap = game.AddGap(400);
    game.index.freeList = {Rec("a", gap, 200), Rec("b", gap + 100, 250), Rec("c", 150, 120),
                           Rec("d", gap + 50, 399)};
    for (int i = 0; i < 6; ++i) {
        update.Add("f" + std::to_string(i), std::string(90 + 40 * i, static_cast<char>('A' + i)));
    }
    update.Add("big", std::string(100000, 'B'));  // written at once, after the small ones
    game.index.freeList.push_back(Rec("e", gap, 100000));
    MarkTerminators(update.index.root, update.data);
    MergeAndCompare(game, update);
}

class ArchiveDeleteTest : public ArchiveMergeTest {
  protected:
    // Applies delete.lst as the deletion step does; compares with the model.
    void DeleteAndCompare(ArchiveBuilder game, const std::string* list) {
        WriteFileBytes("data.kah", test::EncodeIndex(game.index));
        WriteFileBytes("data.kaf", game.data);
        if (list) WriteFileBytes("delete.lst", *list);
        std::string before = ReadFileBytes("data.kah");
        auto mtimeBefore = std::filesystem::last_write_time("data.kah");
        GameArchive archive(korvun::ClientDirectory("."), markers);
        ASSERT_TRUE(archive.LoadAndApplyDeleteList());
        ASSERT_TRUE(archive.SaveIfChanged());
        bool written = test::ModelDeleteAndSave(game.index, list);
        EXPECT_FALSE(test::PathExists("delete.lst"));
        if (written) {
            EXPECT_EQ(ReadFileBytes("data.kah"), test::EncodeIndex(game.index));
        } else {
            EXPECT_EQ(ReadFileBytes("data.kah"), before);
            EXPECT_EQ(std::filesystem::last_write_time("data.kah"), mtimeBefore);
        }
        EXPECT_EQ(ReadFileBytes("data.kaf"), game.data);
    }
};

TEST_F(ArchiveDeleteTest, LinesWithCommentsAndCrLfRemoveEntries) {
    ArchiveBuilder game = SmallGame();
    game.Add("Data\\Item\\old.dds", "old");
    game.Add("keep", "k");
    std::string list =
        "data\\item\\old.dds\tremoved in 1.2\r\nDATA/README.TXT\r\nnot\\there\n\nkeep";
    list.back() = 'X';  // "keeX": names nothing
    DeleteAndCompare(game, &list);
    std::optional<ArchiveIndex> check = GameArchive::ReadIndexFile("data.kah", nullptr);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->fileCount, 4 - 2);
}

TEST_F(ArchiveDeleteTest, ListNamingNothingStillRewritesAndIsDeleted) {
    ArchiveBuilder game = SmallGame();
    game.index.freeList = {Rec("z", game.AddGap(6), 5), Rec("y", game.AddGap(3), 2)};
    std::string list = "nothing\\here\n";
    DeleteAndCompare(game, &list);
}

TEST_F(ArchiveDeleteTest, LongLinesArriveInPieces) {
    ArchiveBuilder game;
    game.Add(std::string(2047, 'p').substr(0, 200), "x");  // a name can be at most 255 bytes
    game.Add("tail", "t");
    std::string list = std::string(2047, 'q') + "tail\n";
    DeleteAndCompare(game, &list);
    std::optional<ArchiveIndex> check = GameArchive::ReadIndexFile("data.kah", nullptr);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->fileCount, 1);
}

TEST_F(ArchiveDeleteTest, NoListLeavesTheIndexAloneUnlessTheFreeListIsLong) {
    ArchiveBuilder game = SmallGame();
    for (uint32_t i = 0; i < 700; ++i) game.index.freeList.push_back(Rec("f", 1000 + i, i % 97));
    DeleteAndCompare(game, nullptr);  // 700 records: untouched

    game.index.freeList.push_back(Rec("g", 5000, 3));
    game.index.lostBytes = 0xFFFFFF00;  // grows modulo 2^32
    DeleteAndCompare(game, nullptr);    // 701: the 201 smallest are dropped
    std::optional<ArchiveIndex> check = GameArchive::ReadIndexFile("data.kah", nullptr);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->freeSpace.Count(), 500u);
}

TEST_F(ArchiveDeleteTest, UnreadableIndexFailsAndWritesNothing) {
    WriteFileBytes("delete.lst", "a\n");
    GameArchive missing(korvun::ClientDirectory("."), markers);
    Status missed = missing.LoadAndApplyDeleteList();
    EXPECT_FALSE(missed);
    EXPECT_TRUE(missed.Code().empty()) << "the deletion step has no message for the player";
    std::string whole = test::EncodeIndex(SmallGame().index);
    WriteFileBytes("data.kah", whole.substr(0, whole.size() - 2));
    GameArchive truncated(korvun::ClientDirectory("."), markers);
    EXPECT_FALSE(truncated.LoadAndApplyDeleteList());
    EXPECT_TRUE(truncated.SaveIfChanged());  // nothing loaded, nothing written
    EXPECT_EQ(ReadFileBytes("data.kah"), whole.substr(0, whole.size() - 2));
    EXPECT_TRUE(test::PathExists("delete.lst"));
    EXPECT_TRUE(lastMessage.empty());
}

TEST_F(ArchiveDeleteTest, AnySignatureIsAcceptedByTheDeletionStep) {
    ArchiveBuilder game = SmallGame();
    game.index.signature = "XYZ";
    std::string list = "data\\readme.txt\n";
    WriteFileBytes("data.kah", test::EncodeIndex(game.index));
    WriteFileBytes("delete.lst", list);
    GameArchive archive(korvun::ClientDirectory("."), markers);
    ASSERT_TRUE(archive.LoadAndApplyDeleteList());
    ASSERT_TRUE(archive.SaveIfChanged());
    test::ModelDeleteAndSave(game.index, &list);
    game.index.signature = "KAH";
    EXPECT_EQ(ReadFileBytes("data.kah"), test::EncodeIndex(game.index));
}

TEST_F(ArchiveDeleteTest, RandomDeleteListsMatchThePlainModel) {
    for (unsigned seed = 100; seed < 120; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomArchives random(seed);
        ArchiveBuilder game;
        random.Fill(game, 40, true);
        std::string list;
        for (int i = random.Next() % 20; i > 0; --i) {
            std::string path = random.Path();
            for (char& c : path) {
                if (c == '\\' && random.Next() % 2) c = '/';
            }
            list += path + (random.Next() % 3 == 0 ? "\tcomment" : "") +
                    (random.Next() % 2 ? "\r\n" : "\n");
        }
        DeleteAndCompare(game, &list);
        if (HasFatalFailure()) return;
    }
}

// A game whose large file the update replaces: the new content goes into the old region at
// once, so data.kaf has changed under the committed index before the merge gets further.
struct ReplacedLargeFile {
    ArchiveBuilder game = SmallGame(), update;
    ReplacedLargeFile() {
        game.Add("Data\\big.bin", std::string(200000, 'o'));
        update.Add("data\\BIG.bin", std::string(150000, 'n'));
        update.Add("new.bin", std::string(100, 'w'));
    }
};

TEST_F(ArchiveMergeTest, AMergeThatFailsAfterReusingARegionIsUndoneFromItsJournal) {
    ReplacedLargeFile files;
    files.update.Add("zz\\cut.bin", std::string(600000, 'c'));  // copied last
    Install(files.game, files.update);
    WriteFileBytes("update.kaf", files.update.data.substr(0, 200000));
    EXPECT_FALSE(Merge());
    ASSERT_TRUE(ReadFileBytes("data.kaf").substr(0, files.game.data.size()) != files.game.data);
    EXPECT_EQ(RecoverFromJournal(GameArchive::kJournalName, "data.kah", "data.kaf"),
              JournalRecovery::RolledBack);
    EXPECT_EQ(ReadFileBytes("data.kaf"), files.game.data);
    EXPECT_EQ(ReadFileBytes("data.kah"), test::EncodeIndex(files.game.index));
}

TEST_F(ArchiveMergeTest, AMarkerThatCannotBeWrittenDecidesWhatTheJournalSays) {
    ReplacedLargeFile files;
    // No UPDATE_START: the index is not replaced, and the journal undoes the copies.
    markers.failing = "UPDATE_START";
    Install(files.game, files.update);
    EXPECT_FALSE(Merge());
    EXPECT_EQ(lastMessage,
              "Update error: saveheader"
              "c46");
    EXPECT_EQ(ReadFileBytes("data.kah"), test::EncodeIndex(files.game.index));
    EXPECT_EQ(RecoverFromJournal(GameArchive::kJournalName, "data.kah", "data.kaf"),
              JournalRecovery::RolledBack);
    EXPECT_EQ(ReadFileBytes("data.kaf"), files.game.data);

    // No UPDATE_END after the new index is in place: the journal stays and says committed.
    markers.failing = "UPDATE_END";
    Install(files.game, files.update);
    ASSERT_TRUE(Merge());
    std::string merged = ReadFileBytes("data.kaf");
    EXPECT_EQ(RecoverFromJournal(GameArchive::kJournalName, "data.kah", "data.kaf"),
              JournalRecovery::Committed);
    EXPECT_EQ(ReadFileBytes("data.kaf"), merged);
    markers.failing = "-";
    Install(files.game, files.update);
    ASSERT_TRUE(Merge());
    EXPECT_FALSE(test::PathExists(GameArchive::kJournalName));
}

}  // namespace
}  // namespace korvun
