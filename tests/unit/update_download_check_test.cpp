// The check of a download against its manifest entry, hashed a batch behind on a helper
// thread: the digest must be that of exactly the bytes given since the last start, in order.
#include <algorithm>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"
#include "support/zip_test_packages.h"
#include "update/download_check.h"

namespace korvun {
namespace {

using test::SampleData;

ManifestEntry EntryFor(const std::string& data) {
    Sha256Stream stream;
    stream.Update(data.data(), data.size());
    return {"patch/patch/pk0002.patch", data.size(), stream.Finish()};
}

// Gives data in pieces of changing sizes, some far larger than a batch, from one buffer that
// is overwritten after every call (the download reuses its batch at once).
void AddInPieces(DownloadCheck& check, const std::string& data) {
    const size_t sizes[] = {1, 2048, 4093, 262144, 300007, 65536, 1000000};
    std::string buffer;
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        size_t piece = std::min(sizes[i % std::size(sizes)], data.size() - at);
        buffer.assign(data, at, piece);
        check.Add(buffer.data(), buffer.size());
        buffer.assign(piece, 'x');
        at += piece;
    }
}

TEST(DownloadCheck, BytesInAnyPiecesMatchAndOneChangedByteDoesNot) {
    std::string data = SampleData(3 * 1024 * 1024 + 7, 1);
    DownloadCheck check;
    check.Begin(EntryFor(data));
    EXPECT_EQ(check.SignedSize(), data.size());
    AddInPieces(check, data);
    EXPECT_TRUE(check.Matches());

    std::string tampered = data;
    tampered[2 * 1024 * 1024 + 5] ^= 1;  // inside a batch the helper hashes, not the last one
    check.Begin(EntryFor(data));
    AddInPieces(check, tampered);
    EXPECT_FALSE(check.Matches());

    check.Begin(EntryFor(data));
    AddInPieces(check, data.substr(0, data.size() - 1));
    EXPECT_FALSE(check.Matches());
}

TEST(DownloadCheck, RestartForgetsBatchesStillBeingHashedAndANewEntryStartsClean) {
    std::string first = SampleData(2 * 1024 * 1024, 2);
    DownloadCheck check;
    check.Begin(EntryFor(first));
    AddInPieces(check, SampleData(1024 * 1024 + 3, 3));  // a broken transfer's bytes
    check.Restart();
    AddInPieces(check, first);
    EXPECT_TRUE(check.Matches());

    // Matches() starts the check anew: a second file, and an empty one.
    std::string second = SampleData(777777, 4);
    check.Begin(EntryFor(second));
    AddInPieces(check, second);
    EXPECT_TRUE(check.Matches());
    check.Begin(EntryFor(""));
    EXPECT_TRUE(check.Matches());
}

TEST(DownloadCheck, AnUnfinishedCheckEndsWithItsOwner) {
    size_t before = test::ThreadCountBeforeHelpers();
    std::string data = SampleData(5 * 1024 * 1024, 5);
    {
        DownloadCheck check;
        check.Begin(EntryFor(data));
        AddInPieces(check, data);  // the last batches may still be hashing at destruction
        EXPECT_EQ(test::ThreadsOfThisProcess(), before + 1);
    }
    test::WaitFor([&] { return test::ThreadsOfThisProcess() <= before; }, std::chrono::seconds(5));
    EXPECT_EQ(test::ThreadsOfThisProcess(), before) << "the helper outlived its check";
}

}  // namespace
}  // namespace korvun
