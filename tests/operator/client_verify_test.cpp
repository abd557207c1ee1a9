// client verify on trees with one planted difference each. The archives are written with
// the tests' own index encoder, independent of the tool.
#include <filesystem>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/archive_writer.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

class ClientVerify : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tree : {"reference", "client"}) {
            WriteArchive(tree, Builder());
            WriteFileBytes(Dir(tree) + "/readme.txt", "hello");
            WriteFileBytes(Dir(tree) + "/bin/tool.dll", "MZ tool");
        }
    }

    static ArchiveBuilder Builder(uint32_t extraWord = 5) {
        ArchiveBuilder builder;
        builder.Add("data\\a.txt", "alpha", extraWord);
        builder.Add("data\\deep\\b.bin", std::string(3000, 'b'));
        builder.Add("empty.dat", "");
        builder.index.headerWord = 4;
        return builder;
    }

    void WriteArchive(const std::string& tree, const ArchiveBuilder& builder) {
        fs::create_directories(Dir(tree));
        WriteFileBytes(Dir(tree) + "/data.kah", EncodeIndex(builder.index));
        WriteFileBytes(Dir(tree) + "/data.kaf", builder.data);
    }

    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }

    RunResult Verify() {
        return Tool({"client", "verify", Dir("client"), "--against", Dir("reference")});
    }

    TempDirectory work_{"korvun-verify"};
};

TEST_F(ClientVerify, IdenticalDespiteBookkeepingFilesAndLetterCase) {
    for (const char* name : {"Version.ini", "CONFIG.ini", "UpdaterURL.txt", "new_updater.exe",
                             "UpdateVersion-tov-.ini"}) {
        WriteFileBytes(Dir("client") + "/" + name, "x");
    }
    fs::rename(Dir("client") + "/readme.txt", Dir("client") + "/README.txt");
    fs::rename(Dir("client") + "/bin", Dir("client") + "/Bin");
    RunResult verified = Verify();
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find("2 loose files and 3 archive entries compared"),
              std::string::npos)
        << verified.output;
}

TEST_F(ClientVerify, ListsEveryKindOfDifference) {
    ArchiveBuilder changed = Builder();
    changed.data[changed.index.root.folders[0].files[0].offset + 2] = 'X';  // alpha -> alXha
    changed.Add("data\\extra.txt", "more");
    WriteArchive("client", changed);
    WriteFileBytes(Dir("client") + "/readme.txt", "hellO");
    WriteFileBytes(Dir("client") + "/leftover.txt", "old");
    fs::remove(Dir("client") + "/bin/tool.dll");
    WriteFileBytes(Dir("client") + "/pk0003.patch", "an interrupted download");

    RunResult verified = Verify();
    EXPECT_EQ(verified.status, 1);
    for (const char* expected :
         {"archive entry differs: data\\a.txt", "extra archive entry: data\\extra.txt",
          "loose file differs: readme.txt", "extra loose file: leftover.txt",
          "missing loose file: bin/tool.dll", "extra loose file: pk0003.patch", "6 differences"}) {
        EXPECT_NE(verified.output.find(expected), std::string::npos) << expected << "\n"
                                                                     << verified.output;
    }
}

TEST_F(ClientVerify, ChecksExtraWordHeaderAndFileCount) {
    ArchiveBuilder other = Builder(6);
    other.index.headerWord = 5;
    other.index.fileCount = 4;  // one more than the tree holds
    WriteArchive("client", other);
    RunResult verified = Verify();
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.output.find("extraWord 0x00000006, reference 0x00000005"), std::string::npos)
        << verified.output;
    EXPECT_NE(verified.output.find("header"), std::string::npos);
    EXPECT_NE(verified.output.find("fileCount 4 but holds 3 entries"), std::string::npos);
}

TEST_F(ClientVerify, UnreadableClientsAndEntriesBeyondTheDataFile) {
    EXPECT_EQ(Tool({"client", "verify", Dir("nowhere"), "--against", Dir("reference")}).status, 2);
    fs::remove(Dir("client") + "/data.kah");
    EXPECT_EQ(Verify().status, 2);
    WriteFileBytes(Dir("client") + "/data.kah", "KAH but nothing more");
    EXPECT_EQ(Verify().status, 2);

    ArchiveBuilder cut = Builder();
    WriteArchive("client", cut);
    WriteFileBytes(Dir("client") + "/data.kaf", cut.data.substr(0, 100));
    RunResult verified = Verify();
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.output.find("beyond the end of a data file"), std::string::npos)
        << verified.output;
}

}  // namespace
}  // namespace korvun::test
