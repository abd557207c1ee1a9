// The rollback journal on real files: what a start after an interruption finds and does, for
// every length at which the journal may have been cut.
#include <gtest/gtest.h>
#include <sodium.h>

#include "archive/rollback_journal.h"
#include "platform/file_io.h"
#include "support/archive_writer.h"

namespace korvun {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

constexpr const char* kJournal = "data.kaf.journal";

class RollbackJournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (size_t i = 0; i < oldData.size(); ++i) oldData[i] = static_cast<char>('a' + i % 26);
        WriteFileBytes("data.kah", oldIndex);
        WriteFileBytes("data.kaf", oldData);
    }
    JournalRecovery Recover() { return RecoverFromJournal(kJournal, "data.kah", "data.kaf"); }
    // Journals the regions [10, 30) and [100, 150), then overwrites them and appends, the
    // way a merge changes data.kaf; returns the journal's length after the first region.
    uint64_t ChangeData(bool commit) {
        RollbackJournal journal(kJournal);
        EXPECT_TRUE(journal.Begin(oldData.size(), *IdentifyFile("data.kah")));
        FileHandle file = OpenFile("data.kaf", OpenMode::ReadWrite);
        int fd = file.Get();
        EXPECT_TRUE(journal.SaveRegion(fd, 10, 20) && journal.Sync());
        uint64_t firstRecordEnd = *FileSize(kJournal);
        EXPECT_TRUE(journal.SaveRegion(fd, 100, 50) && journal.Sync());
        EXPECT_TRUE(WriteAt(fd, std::string(20, 'X').data(), 20, 10));
        EXPECT_TRUE(WriteAt(fd, std::string(50, 'Y').data(), 50, 100));
        EXPECT_TRUE(WriteAt(fd, std::string(70, 'Z').data(), 70, oldData.size()));
        EXPECT_TRUE(file.Close());
        if (commit) {
            WriteFileBytes("new.kah", newIndex);
            EXPECT_TRUE(journal.RecordNewIndex(*IdentifyFile("new.kah")));
        }
        return firstRecordEnd;
    }

    test::ScopedGameDir dir;
    std::string oldIndex = "KAH old index bytes";
    std::string newIndex = "KAH new index bytes, longer";
    std::string oldData = std::string(400, '\0');
};

TEST_F(RollbackJournalTest, OldIndexInPlacePutsTheSavedBytesBackAndCutsTheAppendedOnes) {
    ChangeData(true);  // the new index was recorded but never renamed into place
    ASSERT_NE(ReadFileBytes("data.kaf"), oldData);
    EXPECT_EQ(Recover(), JournalRecovery::RolledBack);
    EXPECT_EQ(ReadFileBytes("data.kaf"), oldData);
    EXPECT_EQ(ReadFileBytes("data.kah"), oldIndex);
    // Undoing again, as after a crash during the first undo, changes nothing.
    EXPECT_EQ(Recover(), JournalRecovery::RolledBack);
    EXPECT_EQ(ReadFileBytes("data.kaf"), oldData);
    EXPECT_TRUE(RemoveJournal(kJournal));
    EXPECT_EQ(Recover(), JournalRecovery::NoJournal);
}

TEST_F(RollbackJournalTest, NewIndexInPlaceIsCommittedAndLeavesTheDataAlone) {
    ChangeData(true);
    ASSERT_TRUE(ReplaceFile("new.kah", "data.kah"));
    std::string changed = ReadFileBytes("data.kaf");
    EXPECT_EQ(Recover(), JournalRecovery::Committed);
    EXPECT_EQ(ReadFileBytes("data.kaf"), changed);
    EXPECT_EQ(ReadFileBytes("data.kah"), newIndex);
}

TEST_F(RollbackJournalTest, AnIndexThatIsNeitherLeavesEverythingAsFound) {
    ChangeData(true);
    std::string changed = ReadFileBytes("data.kaf");
    WriteFileBytes("data.kah", oldIndex + "?");  // same start, other length and digest
    EXPECT_EQ(Recover(), JournalRecovery::Mismatch);
    EXPECT_EQ(ReadFileBytes("data.kaf"), changed);
    // Without a commit record, a changed index cannot be the new one either.
    ChangeData(false);
    WriteFileBytes("data.kah", newIndex);
    EXPECT_EQ(Recover(), JournalRecovery::Mismatch);
    // A data file shorter than it was when the change began was not changed by this journal.
    WriteFileBytes("data.kah", oldIndex);
    WriteFileBytes("data.kaf", oldData.substr(0, 300));
    EXPECT_EQ(Recover(), JournalRecovery::Mismatch);
}

// The journal is flushed before each region it saves is overwritten, so a journal cut inside
// a record belongs to a region that was not overwritten yet: only whole records are put back.
TEST_F(RollbackJournalTest, ACutJournalPutsBackExactlyItsWholeRecords) {
    uint64_t firstRecordEnd = ChangeData(false);
    std::string journal = ReadFileBytes(kJournal);
    std::string changed = ReadFileBytes("data.kaf");
    for (size_t length = 0; length < journal.size(); ++length) {
        WriteFileBytes(kJournal, journal.substr(0, length));
        WriteFileBytes("data.kaf", changed);
        EXPECT_EQ(Recover(), JournalRecovery::RolledBack) << length;
        std::string data = ReadFileBytes("data.kaf");
        if (length < RollbackJournal::kHeaderBytes) {
            // A header that never reached the disk: nothing was changed under it.
            EXPECT_EQ(data, changed) << length;
            continue;
        }
        ASSERT_EQ(data.size(), oldData.size()) << length;
        std::string first = length < firstRecordEnd ? std::string(20, 'X') : oldData.substr(10, 20);
        EXPECT_EQ(data.substr(10, 20), first) << length;
        EXPECT_EQ(data.substr(100, 50), std::string(50, 'Y')) << length;
    }
}

// A tail left by an earlier journal of the same file (another salt) is not taken for records.
TEST_F(RollbackJournalTest, RecordsOfAnotherJournalAreNotPutBack) {
    ChangeData(false);
    std::string earlier = ReadFileBytes(kJournal);
    WriteFileBytes("data.kaf", oldData);
    RollbackJournal journal(kJournal);
    ASSERT_TRUE(journal.Begin(oldData.size(), *IdentifyFile("data.kah")));
    ASSERT_TRUE(journal.Sync());
    std::string header = ReadFileBytes(kJournal);
    WriteFileBytes(kJournal, header + earlier.substr(RollbackJournal::kHeaderBytes));
    WriteFileBytes("data.kaf", std::string(400, 'Q'));
    EXPECT_EQ(Recover(), JournalRecovery::RolledBack);
    EXPECT_EQ(ReadFileBytes("data.kaf"), std::string(400, 'Q'));
}

// A journal left by an earlier version, whose records of old bytes carry their own check and
// no seal: a whole record is put back, one whose check fails is not.
TEST_F(RollbackJournalTest, RecordsOfTheEarlierLayoutArePutBack) {
    ASSERT_GE(sodium_init(), 0);
    std::string salt(RollbackJournal::kSaltBytes, 's');
    auto checked = [&](std::string part) {
        std::string check(RollbackJournal::kCheckBytes, '\0');
        crypto_generichash(reinterpret_cast<unsigned char*>(check.data()), check.size(),
                           reinterpret_cast<const unsigned char*>(part.data()), part.size(),
                           reinterpret_cast<const unsigned char*>(salt.data()), salt.size());
        return part + check;
    };
    auto little = [](uint64_t value, size_t bytes) {
        std::string out;
        for (size_t i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
        return out;
    };
    FileIdentity index = *IdentifyFile("data.kah");
    std::string header = "KORVUNJ1" + salt + little(oldData.size(), 8) + little(index.length, 8) +
                         std::string(index.digest.begin(), index.digest.end());
    auto record = [&](uint64_t offset, uint64_t length) {
        return checked(little(RollbackJournal::kOldBytes, 4) + little(offset, 8) +
                       little(length, 8) + oldData.substr(offset, length));
    };
    std::string second = record(100, 50);
    second[30] ^= 1;  // a byte of the saved content that differs from its check
    WriteFileBytes(kJournal, checked(header) + record(10, 20) + second);
    WriteFileBytes("data.kaf", std::string(400, 'Q'));
    EXPECT_EQ(Recover(), JournalRecovery::RolledBack);
    std::string data = ReadFileBytes("data.kaf");
    EXPECT_EQ(data.substr(10, 20), oldData.substr(10, 20));
    EXPECT_EQ(data.substr(100, 50), std::string(50, 'Q'));
}

TEST(FileIdentityTest, TellsContentsOfOneLengthApartAndFollowsPiecewiseInput) {
    test::ScopedGameDir dir;
    WriteFileBytes("a", "same length A");
    WriteFileBytes("b", "same length B");
    ASSERT_TRUE(IdentifyFile("a") && IdentifyFile("b"));
    EXPECT_NE(*IdentifyFile("a"), *IdentifyFile("b"));
    ContentHash pieces;
    pieces.Add("same ", 5);
    pieces.Add("length A", 8);
    EXPECT_EQ(pieces.Finish(), *IdentifyFile("a"));
    EXPECT_EQ(IdentifyFile("missing"), std::nullopt);
}

}  // namespace
}  // namespace korvun
