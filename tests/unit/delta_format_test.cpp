// The delta header as a client meets it on an unsigned server: whatever the bytes, the parser
// answers without reading past them, and takes only tables that fit the file.
#include <gtest/gtest.h>

#include "delta/delta_format.h"

namespace korvun::delta {
namespace {

// Two entries: the first in two segments (a patch against an archive entry, then whole bytes),
// the second whole; payloads of 5, 3 and 4 bytes.
DeltaPackage Sample() {
    DeltaPackage package;
    package.centralDirectory = "DIRECTORY";
    package.entries = {{10, {}, 0, 2}, {7, {}, 0, 1}};
    Segment patch;
    patch.base = BaseKind::ArchiveEntry;
    patch.baseName = "maps\\big.map";
    patch.baseSize = 100;
    patch.outputSize = 6;
    patch.payloadSize = 5;
    Segment whole;
    whole.outputSize = 4;
    whole.payloadSize = 3;
    Segment last;
    last.outputSize = 7;
    last.payloadSize = 4;
    package.segments = {patch, whole, last};
    return package;
}

std::string SampleFile() { return FormatDeltaHeader(Sample()) + "PPPPPWWWLLLL"; }

bool Parses(const std::string& file) {
    DeltaPackage package;
    std::string error;
    return ParseDeltaPackage(reinterpret_cast<const uint8_t*>(file.data()), file.size(), package,
                             error);
}

TEST(DeltaFormat, ReadsBackWhatWasWrittenWithPayloadOffsets) {
    std::string file = SampleFile();
    DeltaPackage package;
    std::string error;
    ASSERT_TRUE(ParseDeltaPackage(reinterpret_cast<const uint8_t*>(file.data()), file.size(),
                                  package, error))
        << error;
    EXPECT_EQ(package.centralDirectory, "DIRECTORY");
    ASSERT_EQ(package.segments.size(), 3u);
    EXPECT_EQ(package.segments[0].baseName, "maps\\big.map");
    EXPECT_EQ(package.entries[1].firstSegment, 2u);
    EXPECT_EQ(file.substr(package.segments[1].payloadOffset, 3), "WWW");
    EXPECT_EQ(package.segments[2].payloadOffset + 4, file.size());
}

TEST(DeltaFormat, RefusesEveryTruncationAndTablesThatDoNotFit) {
    std::string file = SampleFile();
    for (size_t length = 0; length < file.size(); ++length) {
        EXPECT_FALSE(Parses(file.substr(0, length))) << length;
    }
    EXPECT_FALSE(Parses(file + "X")) << "bytes after the payloads";

    DeltaPackage wrongSum = Sample();
    wrongSum.entries[0].size = 11;
    EXPECT_FALSE(Parses(FormatDeltaHeader(wrongSum) + "PPPPPWWWLLLL"));
    DeltaPackage wrongCount = Sample();
    wrongCount.entries[1].segmentCount = 2;
    EXPECT_FALSE(Parses(FormatDeltaHeader(wrongCount) + "PPPPPWWWLLLL"));
    DeltaPackage hugePayload = Sample();
    hugePayload.segments[2].payloadSize = UINT64_MAX - 2;
    EXPECT_FALSE(Parses(FormatDeltaHeader(hugePayload) + "PPPPPWWWLLLL"));
    DeltaPackage overflow = Sample();
    overflow.entries[0].size = 5;
    overflow.segments[0].outputSize = UINT64_MAX;
    EXPECT_FALSE(Parses(FormatDeltaHeader(overflow) + "PPPPPWWWLLLL"));
    std::string badKind = SampleFile();
    badKind[FormatDeltaHeader(Sample()).find("maps") - 59] = 7;
    EXPECT_FALSE(Parses(badKind));
}

}  // namespace
}  // namespace korvun::delta
