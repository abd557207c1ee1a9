// package build on small hand-made trees. The packages are read with Python's zipfile (an
// independent reader) and applied offline with the updater's own steps (extract, merge,
// deletion list), after which client verify must find the new tree.
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "operator_helpers.h"
#include "support/nginx_fixture.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

struct ZipMember {
    int method = -1;
    bool utf8Flag = false;
};

std::map<std::string, ZipMember> ListZip(const std::string& package) {
    RunResult listed =
        RunProgram("/usr/bin/python3",
                   {"-c",
                    "import sys, zipfile\n"
                    "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                    "    print(i.filename, i.compress_type, i.flag_bits & 0x800, sep='|')\n",
                    package},
                   {{"PYTHONIOENCODING", "utf-8"}});
    EXPECT_EQ(listed.status, 0) << listed.output;
    std::map<std::string, ZipMember> members;
    std::istringstream in(listed.output);
    for (std::string line; std::getline(in, line);) {
        size_t first = line.find('|'), second = line.rfind('|');
        if (first == std::string::npos || first == second) continue;
        members[line.substr(0, first)] = {std::stoi(line.substr(first + 1, second - first - 1)),
                                          line.substr(second + 1) != "0"};
    }
    return members;
}

std::string ZipMemberContent(const std::string& package, const std::string& name) {
    RunResult read =
        RunProgram("/usr/bin/python3",
                   {"-c",
                    "import sys, zipfile\n"
                    "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))",
                    package, name});
    EXPECT_EQ(read.status, 0) << read.output;
    return read.output;
}

std::string Binary(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

class PackageBuild : public ::testing::Test {
  protected:
    std::string Dir(const std::string& name) const { return work_.Path() + "/" + name; }
    std::string Package(unsigned number = 2) const {
        char name[32];
        std::snprintf(name, sizeof name, "/pk%.4u.patch", number);
        return Dir("out") + name;
    }

    RunResult Build(const std::string& from, const std::string& to, unsigned number = 2,
                    std::vector<std::string> extra = {}) {
        fs::create_directories(Dir("out"));
        std::vector<std::string> args{"package", "build", "--from",   Dir(from),
                                      "--to",    Dir(to), "--number", std::to_string(number)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(Dir("out"));
        return Tool(args);
    }

    // Applies the package to a copy of the old tree with the steps the updater takes.
    void ApplyOffline(const std::string& from, unsigned number = 2) {
        fs::copy(Dir(from), Dir("client"), fs::copy_options::recursive);
        RunResult extracted = Tool({"package", "extract", Package(number), Dir("client")});
        ASSERT_EQ(extracted.status, 0) << extracted.output;
        if (fs::exists(Dir("client") + "/update.kah")) {
            RunResult merged = Tool({"archive", "merge", Dir("client")});
            ASSERT_EQ(merged.status, 0) << merged.output;
        }
        ASSERT_TRUE(fs::exists(Dir("client") + "/delete.lst"));
        RunResult deleted = Tool({"archive", "delete", Dir("client")});
        ASSERT_EQ(deleted.status, 0) << deleted.output;
    }

    RunResult VerifyAgainst(const std::string& tree, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"client", "verify", Dir("client"), "--against", Dir(tree)};
        args.insert(args.end(), extra.begin(), extra.end());
        return Tool(args);
    }

    TempDirectory work_{"korvun-build"};
};

TEST_F(PackageBuild, OnlyArchiveEntriesChanged) {
    std::string blob = Binary(70000, 1);
    MakeTree(Dir("old"), {{"readme.txt", "hello"}},
             {{"data/a.txt", "alpha"}, {"data/b.bin", blob}, {"ui/c.txt", "same"}});
    MakeTree(Dir("new"), {{"readme.txt", "hello"}},
             {{"data/a.txt", "alpha, changed"},
              {"data/b.bin", blob},
              {"ui/c.txt", "same"},
              {"data/new/deep/d.txt", "brand new"}});

    RunResult built = Build("old", "new");
    ASSERT_EQ(built.status, 0) << built.output;
    EXPECT_NE(built.output.find("data\\new\\deep\\d.txt"), std::string::npos) << built.output;

    std::map<std::string, ZipMember> members = ListZip(Package());
    EXPECT_EQ(members.size(), 3u);
    EXPECT_TRUE(members.contains("update.kah"));
    EXPECT_TRUE(members.contains("update.kaf"));
    EXPECT_EQ(ZipMemberContent(Package(), "delete.lst"), "");

    // The update archive holds exactly the two entries that are new or different.
    ASSERT_EQ(Tool({"package", "extract", Package(), Dir("unpacked")}).status, 0);
    RunResult listed = Tool({"archive", "ls", Dir("unpacked") + "/update.kah"});
    EXPECT_NE(listed.output.find("data\\a.txt"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("data\\new\\deep\\d.txt"), std::string::npos);
    EXPECT_EQ(listed.output.find("b.bin"), std::string::npos);
    EXPECT_EQ(listed.output.find("c.txt"), std::string::npos);

    ApplyOffline("old");
    RunResult verified = VerifyAgainst("new");
    EXPECT_EQ(verified.status, 0) << verified.output;
}

TEST_F(PackageBuild, OnlyLooseFilesChanged) {
    std::string text;
    for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i % 7) + " of the notes\n";
    MakeTree(Dir("old"), {{"readme.txt", "v1"}, {"bin/tool.dll", Binary(20000, 2)}},
             {{"data/a.txt", "alpha"}});
    MakeTree(Dir("new"),
             {{"readme.txt", text},
              {"bin/tool.dll", Binary(20000, 3)},
              {"donn\xc3\xa9"
               "es/\xc3\xa9t\xc3\xa9.txt",
               "summer"}},
             {{"data/a.txt", "alpha"}});

    RunResult built = Build("old", "new");
    ASSERT_EQ(built.status, 0) << built.output;
    std::map<std::string, ZipMember> members = ListZip(Package());
    EXPECT_EQ(members.size(), 4u);
    EXPECT_FALSE(members.contains("update.kah"));
    // Compressible text is deflated, random bytes are stored; ASCII names carry no UTF-8
    // flag, other names carry it so that the updater does not read them as CP437.
    EXPECT_EQ(members["readme.txt"].method, 8);
    EXPECT_EQ(members["bin/tool.dll"].method, 0);
    EXPECT_FALSE(members["readme.txt"].utf8Flag);
    EXPECT_TRUE(members["donn\xc3\xa9"
                        "es/\xc3\xa9t\xc3\xa9.txt"]
                    .utf8Flag);

    ApplyOffline("old");
    EXPECT_TRUE(fs::exists(Dir("client") + "/donn\xc3\xa9"
                                           "es/\xc3\xa9t\xc3\xa9.txt"));
    RunResult verified = VerifyAgainst("new");
    EXPECT_EQ(verified.status, 0) << verified.output;
}

TEST_F(PackageBuild, OnlyDeletions) {
    MakeTree(Dir("old"), {{"readme.txt", "r"}, {"old/gone.txt", "bye"}},
             {{"data/keep.txt", "k"}, {"data/Gone.txt", "g"}});
    MakeTree(Dir("new"), {{"readme.txt", "r"}}, {{"data/keep.txt", "k"}});

    RunResult built = Build("old", "new");
    ASSERT_EQ(built.status, 0) << built.output;
    EXPECT_NE(built.output.find("old/gone.txt"), std::string::npos) << built.output;
    EXPECT_NE(built.output.find("does not delete loose files"), std::string::npos);
    EXPECT_EQ(ZipMemberContent(Package(), "delete.lst"), "data\\Gone.txt\r\n");
    EXPECT_EQ(ListZip(Package()).size(), 1u);

    ApplyOffline("old");
    // The entry is gone; the loose file stays with the player, as the report said.
    RunResult verified = VerifyAgainst("new");
    EXPECT_EQ(verified.status, 1);
    EXPECT_NE(verified.output.find("extra loose file: old/gone.txt"), std::string::npos)
        << verified.output;
    EXPECT_NE(verified.output.find("1 difference\n"), std::string::npos) << verified.output;
    EXPECT_EQ(VerifyAgainst("new", {"--ignore", "OLD"}).status, 0);
}

TEST_F(PackageBuild, IdenticalTreesAreRefusedUnlessAnEmptyPackageIsAsked) {
    // Letter case alone is no change: the client's file system and archive ignore it.
    MakeTree(Dir("old"), {{"readme.txt", "r"}}, {{"data/a.txt", "a"}});
    MakeTree(Dir("new"), {{"README.TXT", "r"}}, {{"DATA/A.TXT", "a"}});

    RunResult refused = Build("old", "new");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("same content"), std::string::npos) << refused.output;
    EXPECT_FALSE(fs::exists(Package()));
    EXPECT_TRUE(fs::is_empty(Dir("out")));

    RunResult empty = Build("old", "new", 2, {"--allow-empty"});
    ASSERT_EQ(empty.status, 0) << empty.output;
    std::map<std::string, ZipMember> members = ListZip(Package());
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(ZipMemberContent(Package(), "delete.lst"), "");
    ApplyOffline("old");
    EXPECT_EQ(VerifyAgainst("new").status, 0);
}

TEST_F(PackageBuild, RefusesWhatTheUpdaterCannotApply) {
    MakeTree(Dir("old"), {{"readme.txt", "r"}}, {{"data/a.txt", "a"}});
    MakeTree(Dir("new"), {{"readme.txt", "r2"}}, {{"data/a.txt", "a2"}});
    RunResult first = Build("old", "new", 1);
    EXPECT_EQ(first.status, 1);
    EXPECT_NE(first.output.find("never downloads package 1"), std::string::npos) << first.output;

    MakeTree(Dir("twins"), {{"a.txt", "1"}, {"A.txt", "2"}}, {{"data/a.txt", "a"}});
    RunResult twins = Build("old", "twins");
    EXPECT_EQ(twins.status, 1);
    EXPECT_NE(twins.output.find("differ only in letter case"), std::string::npos) << twins.output;

    MakeTree(Dir("reserved"), {{"readme.txt", "r"}, {"Delete.lst", "x"}}, {{"data/a.txt", "a"}});
    EXPECT_EQ(Build("old", "reserved").status, 1);

    EXPECT_EQ(Build("old", "missing").status, 2);
    EXPECT_TRUE(fs::is_empty(Dir("out")));

    // A package once written is not overwritten.
    ASSERT_EQ(Build("old", "new").status, 0);
    RunResult again = Build("old", "new");
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("exists already"), std::string::npos);
}

TEST_F(PackageBuild, RepeatsEarlierDeletionsUntilAnEntryComesBack) {
    MakeTree(Dir("v1"), {{"readme.txt", "1"}}, {{"x.txt", "x"}, {"y.txt", "y"}, {"z.txt", "z"}});
    MakeTree(Dir("v2"), {{"readme.txt", "2"}}, {{"y.txt", "y"}, {"z.txt", "z"}});
    MakeTree(Dir("v3"), {{"readme.txt", "3"}}, {{"z.txt", "z"}});
    MakeTree(Dir("v4"), {{"readme.txt", "4"}}, {{"x.txt", "x again"}, {"z.txt", "z"}});
    ASSERT_EQ(Build("v1", "v2", 2).status, 0);
    RunResult third = Build("v2", "v3", 3);
    ASSERT_EQ(third.status, 0) << third.output;
    RunResult fourth = Build("v3", "v4", 4);
    ASSERT_EQ(fourth.status, 0) << fourth.output;

    // Each package's list replaces the one before on the client and is applied only after
    // the last package of a run: package 3 must repeat x, and package 4 must not name x,
    // which it brings back.
    std::string list3 = ZipMemberContent(Package(3), "delete.lst");
    EXPECT_NE(list3.find("x.txt\r\n"), std::string::npos) << list3;
    EXPECT_NE(list3.find("y.txt\r\n"), std::string::npos) << list3;
    EXPECT_EQ(ZipMemberContent(Package(4), "delete.lst"), "y.txt\r\n");

    // Without package 3 at hand the tool says what it cannot repeat.
    fs::remove(Package(3));
    fs::remove(Package(4));
    RunResult alone = Build("v3", "v4", 4);
    ASSERT_EQ(alone.status, 0);
    EXPECT_NE(alone.output.find("not repeated"), std::string::npos) << alone.output;
}

}  // namespace
}  // namespace korvun::test
