// korvun-tool archive commands, run as an operator runs them.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/archive_writer.h"

namespace korvun {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::ReadFileBytes;
using test::WriteFileBytes;

struct Result {
    int status;
    std::string output;  // standard output and standard error
};

Result Tool(const std::string& arguments) {
    std::string command =
        std::string(KORVUN_BINARY_DIR) + "/tools/korvun-tool archive " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    Result result{-1, {}};
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class ArchiveToolTest : public ::testing::Test {
  protected:
    test::ScopedGameDir dir;
};

TEST_F(ArchiveToolTest, PackListCheckAndExtractRoundTripATree) {
    fs::create_directories("tree/Data/Item");
    fs::create_directories("tree/empty/inner");
    WriteFileBytes("tree/readme.txt", "hello\n");
    WriteFileBytes("tree/Data/zero", "");
    std::string big(1234567, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
    WriteFileBytes("tree/Data/Item/big.bin", big);

    ASSERT_EQ(Tool("pack tree out.kah").status, 0);
    // Contiguous: each file followed by its terminator.
    EXPECT_EQ(ReadFileBytes("out.kaf").size(), 6 + 1 + 0 + 1 + big.size() + 1);
    Result ls = Tool("ls out.kah --header");
    EXPECT_EQ(ls.status, 0);
    EXPECT_NE(ls.output.find("fileCount 3"), std::string::npos) << ls.output;
    EXPECT_NE(ls.output.find("Data\\Item\\big.bin"), std::string::npos);
    EXPECT_EQ(Tool("check out.kah").status, 0);
    EXPECT_EQ(Tool("cat out.kah data/ITEM/big.bin").output, big);

    ASSERT_EQ(Tool("extract out.kah copy").status, 0);
    std::vector<std::string> original, copy;
    for (auto& item : fs::recursive_directory_iterator("tree")) {
        original.push_back(fs::relative(item.path(), "tree").string());
    }
    for (auto& item : fs::recursive_directory_iterator("copy")) {
        copy.push_back(fs::relative(item.path(), "copy").string());
    }
    std::sort(original.begin(), original.end());
    std::sort(copy.begin(), copy.end());
    EXPECT_EQ(copy, original);
    EXPECT_EQ(ReadFileBytes("copy/Data/Item/big.bin"), big);
    EXPECT_EQ(ReadFileBytes("copy/readme.txt"), "hello\n");
}

TEST_F(ArchiveToolTest, MergeAndDeleteGiveWhatTheFormatPrescribes) {
    ArchiveBuilder game, update;
    game.Add("Data\\a.dds", std::string(40, 'a'));
    game.Add("Data\\b.dds", std::string(10, 'b'));
    game.Add("old.txt", "old");
    update.index.headerWord = 3;
    update.Add("DATA\\A.DDS", std::string(20, 'A'));
    update.Add("new\\c.txt", "c");
    fs::create_directory("game");
    WriteFileBytes("game/data.kah", test::EncodeIndex(game.index));
    WriteFileBytes("game/data.kaf", game.data);
    WriteFileBytes("game/update.kah", test::EncodeIndex(update.index));
    WriteFileBytes("game/update.kaf", update.data);
    ASSERT_EQ(Tool("merge game").status, 0);
    test::ModelMerge(game.index, game.data, update.index, update.data);
    EXPECT_EQ(ReadFileBytes("game/data.kah"), test::EncodeIndex(game.index));
    EXPECT_EQ(ReadFileBytes("game/data.kaf"), game.data);
    EXPECT_EQ(Tool("check game/data.kah").status, 0);

    std::string list = "old.txt\ndata\\b.dds\tcomment\n";
    WriteFileBytes("game/delete.lst", list);
    ASSERT_EQ(Tool("delete game").status, 0);
    test::ModelDeleteAndSave(game.index, &list);
    EXPECT_EQ(ReadFileBytes("game/data.kah"), test::EncodeIndex(game.index));
    EXPECT_FALSE(test::PathExists("game/delete.lst"));
}

TEST_F(ArchiveToolTest, FailuresPrintTheUpdatersMessage) {
    fs::create_directory("game");
    WriteFileBytes("game/data.kah", test::EncodeIndex(test::RawIndex{}));
    WriteFileBytes("game/data.kaf", "");
    Result missing = Tool("merge game");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "update Cannot find the file.c40\n");
    WriteFileBytes("game/update.kah", "KAX");
    WriteFileBytes("game/update.kaf", "");
    EXPECT_EQ(Tool("merge game").output,
              "Update error: update header file error"
              "c44\n");
    EXPECT_EQ(Tool("merge").status, 2);
    EXPECT_EQ(Tool("frobnicate x").status, 2);
}

TEST_F(ArchiveToolTest, CheckReportsProblemsAndUnreadableIndexes) {
    ArchiveBuilder game;
    game.Add("a", "aaaa");
    game.Add("A", "b");
    game.index.root.files.push_back({"overlap", 2, 3, 0, {}});
    game.index.root.files.push_back({"beyond", 1000, 3, 0, {}});
    game.index.freeList = {{"free", 1, 1, 0, {}}};
    WriteFileBytes("data.kah", test::EncodeIndex(game.index));
    WriteFileBytes("data.kaf", game.data);
    Result check = Tool("check data.kah");
    EXPECT_EQ(check.status, 1);
    for (const char* expected : {"duplicate path A", "fileCount 2 but 4 files", "overlaps",
                                 "beyond the end", "free record"}) {
        EXPECT_NE(check.output.find(expected), std::string::npos) << expected << "\n"
                                                                  << check.output;
    }
    WriteFileBytes("bad.kah", "KAH\x01\x02");
    Result unreadable = Tool("check bad.kah");
    EXPECT_EQ(unreadable.status, 2);
    EXPECT_NE(unreadable.output.find("truncated header"), std::string::npos);
}

TEST_F(ArchiveToolTest, ExtractRefusesPathsThatLeaveTheDirectory) {
    ArchiveBuilder game;
    game.Add("..\\escape.txt", "x");
    WriteFileBytes("evil.kah", test::EncodeIndex(game.index));
    WriteFileBytes("evil.kaf", game.data);
    Result extract = Tool("extract evil.kah out");
    EXPECT_EQ(extract.status, 1);
    EXPECT_FALSE(test::PathExists("escape.txt"));
    EXPECT_FALSE(test::PathExists("out"));
}

}  // namespace
}  // namespace korvun
