// Folder lookups with and without the name index, against a plain list walked from the front.
#include <gtest/gtest.h>

#include <random>

#include "archive/archive_tree.h"

namespace korvun {
namespace {

// The plain reading: a list in insertion order, searched from the front.
struct PlainFolder {
    std::vector<ArchiveEntry> files;

    std::vector<ArchiveEntry>::iterator Find(const std::string& name) {
        return std::find_if(files.begin(), files.end(), [&](const ArchiveEntry& entry) {
            return NamesEqualIgnoringCase(entry.name, name);
        });
    }
};

std::vector<ArchiveEntry> Listed(const ArchiveFolder& folder) {
    return std::vector<ArchiveEntry>(folder.Files().begin(), folder.Files().end());
}

// A few names in several spellings, so that twins and case variants are common.
std::string RandomName(std::mt19937& rng, int distinct) {
    std::string name = "file" + std::to_string(rng() % distinct) + ".dds";
    for (char& c : name) {
        if (rng() % 3 == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

TEST(ArchiveTreeTest, LookupsAndRemovalsMatchAListWalkedFromTheFront) {
    for (unsigned seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        // Small folders stay below the index threshold, large ones cross it early.
        int distinct = seed % 3 == 0 ? 6 : 40 + static_cast<int>(rng() % 300);
        ArchiveFolder folder;
        PlainFolder plain;
        for (int step = 0; step < 3000; ++step) {
            std::string name = RandomName(rng, distinct);
            unsigned action = rng() % 10;
            if (action < 5) {
                ArchiveEntry entry{name, rng(), static_cast<uint32_t>(step), 0};
                plain.files.push_back(entry);
                folder.AppendFile(entry);
            } else if (action < 9) {
                auto expected = plain.Find(name);
                std::optional<ArchiveEntry> taken = folder.TakeFile(name);
                ASSERT_EQ(taken.has_value(), expected != plain.files.end()) << name;
                if (taken) {
                    EXPECT_EQ(*taken, *expected);
                    plain.files.erase(expected);
                }
            } else {
                auto expected = plain.Find(name);
                const ArchiveEntry* found = folder.FindFile(name);
                ASSERT_EQ(found != nullptr, expected != plain.files.end()) << name;
                if (found) {
                    EXPECT_EQ(*found, *expected);
                }
            }
        }
        EXPECT_EQ(folder.Files().size(), plain.files.size());
        EXPECT_EQ(Listed(folder), plain.files);
        EXPECT_EQ(folder.TakeAllFiles(), plain.files);
        EXPECT_TRUE(folder.Files().empty());
        EXPECT_EQ(folder.FindFile(plain.files.empty() ? "x" : plain.files.front().name), nullptr);
    }
}

TEST(ArchiveTreeTest, TwinsAreTakenInListOrderAfterTheIndexIsBuilt) {
    ArchiveFolder folder;
    for (int i = 0; i < 40; ++i) folder.AppendFile({"other" + std::to_string(i), 0, 0, 0});
    folder.AppendFile({"Twin", 1, 0, 0});
    ASSERT_NE(folder.FindFile("twin"), nullptr);  // builds the index
    folder.AppendFile({"TWIN", 2, 0, 0});
    folder.AppendFile({"twin", 3, 0, 0});
    EXPECT_EQ(folder.TakeFile("tWiN")->offset, 1u);
    EXPECT_EQ(folder.FindFile("twin")->offset, 2u);
    folder.AppendFile({"Twin", 4, 0, 0});
    EXPECT_EQ(folder.TakeFile("twin")->offset, 2u);
    EXPECT_EQ(folder.TakeFile("twin")->offset, 3u);
    EXPECT_EQ(folder.TakeFile("twin")->offset, 4u);
    EXPECT_FALSE(folder.TakeFile("twin"));
    EXPECT_EQ(folder.Files().size(), 40u);
}

TEST(ArchiveTreeTest, SubfoldersAreFoundInAnyCaseAmongMany) {
    ArchiveFolder root;
    for (int i = 0; i < 100; ++i) root.AppendSubfolder("Dir" + std::to_string(i));
    root.AppendSubfolder("dir7");  // a twin: the first one keeps answering
    ArchiveFolder* seven = root.FindSubfolder("DIR7");
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven->name, "Dir7");
    ArchiveFolder& added = root.AppendSubfolder("New");
    EXPECT_EQ(root.FindSubfolder("new"), &added);
    EXPECT_EQ(root.FindSubfolder("Dir100"), nullptr);
    EXPECT_EQ(root.Subfolders().size(), 102u);
}

TEST(ArchiveTreeTest, NamesFoldOnlyAsciiLetters) {
    EXPECT_TRUE(NamesEqualIgnoringCase("Data\\ITEM.dds", "data\\item.DDS"));
    EXPECT_FALSE(NamesEqualIgnoringCase("a", "ab"));
    EXPECT_FALSE(NamesEqualIgnoringCase("\xC3\x84", "\xC3\xA4"));  // Ä and ä stay apart
    EXPECT_FALSE(NamesEqualIgnoringCase("[", "{"));
    EXPECT_EQ(FoldedNameHash("Some.DDS"), FoldedNameHash("some.dds"));
}

}  // namespace
}  // namespace korvun
