// Version.ini, UpdateVersion.ini and the override file.
#include "update/version_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/file_io.h"
#include "platform/profile.h"
#include "support/nginx_fixture.h"

namespace korvun {
namespace {

using test::GameDirectory;
using test::ReadFileBytes;

class VersionFileTest : public ::testing::Test {
  protected:
    std::string LocalValue(const char* key) {
        return ReadProfileString("Version", key, "<absent>", ".\\Version.ini");
    }
    void WriteServerFile(const std::string& body) {
        game_.Write("UpdateVersion.ini", "[Version]\r\n" + body);
    }
    void WriteOverride(const std::string& body) {
        game_.Write("UpdateVersion-tov-.ini", "[Version]\r\n" + body);
    }
    bool Parse() { return ParseVersionFile(game_.Client(), &versions_, &replace_); }

    GameDirectory game_;
    VersionNumbers versions_;
    std::atomic<bool> replace_{false};
};

TEST(ParseDecimalTest, BehavesLikeAtoi) {
    EXPECT_EQ(ParseDecimal("3"), 3);
    EXPECT_EQ(ParseDecimal("  +17abc"), 17);
    EXPECT_EQ(ParseDecimal("-1"), -1);
    EXPECT_EQ(ParseDecimal("abc"), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("- 5"), 0);
    EXPECT_EQ(ParseDecimal("99999999999999999999"), 2147483647);
    EXPECT_EQ(ParseDecimal("-99999999999999999999"), -2147483647 - 1);
}

TEST_F(VersionFileTest, LocalCheckVersionMustBeThree) {
    EXPECT_FALSE(IsLocalCheckVersionValid(game_.Client()));
    EXPECT_FALSE(FileExists("Version.ini")) << "checking must not create the file";
    for (const char* value : {"", "2", "30", "three"}) {
        game_.Write("Version.ini", std::string("[Version]\r\nCheckVersion=") + value + "\r\n");
        EXPECT_FALSE(IsLocalCheckVersionValid(game_.Client())) << value;
    }
    game_.Write("Version.ini", "[version]\r\ncheckversion = 3 \r\n");
    EXPECT_TRUE(IsLocalCheckVersionValid(game_.Client()));
}

TEST_F(VersionFileTest, InterruptedArchiveUpdateMeansDamagedAndLeavesFileAlone) {
    const std::string content =
        "[Version]\r\nCheckVersion=3\r\nCurrentVersion=57\r\nStartUpdate=update_start\r\n";
    game_.Write("Version.ini", content);
    versions_.baseVersion = versions_.currentVersion = 99;
    EXPECT_TRUE(ReadLocalVersion(game_.Client(), &versions_));
    EXPECT_EQ(versions_.baseVersion, 0u);
    EXPECT_EQ(versions_.currentVersion, 0u);
    EXPECT_EQ(ReadFileBytes(game_.File("Version.ini")), content);
}

TEST_F(VersionFileTest, InterruptedDownloadOrExtractionMarkersAreCleared) {
    for (const char* marker : {"FILE_SIZE_ERR", "extract_start"}) {
        game_.Write("Version.ini",
                    std::string("[Version]\r\nCheckVersion=3\r\nCurrentVersion=57\r\n"
                                "StartUpdate=") +
                        marker + "\r\n");
        EXPECT_TRUE(ReadLocalVersion(game_.Client(), &versions_));
        EXPECT_EQ(versions_.baseVersion, 57u) << marker;
        EXPECT_EQ(versions_.currentVersion, 57u) << marker;
        EXPECT_EQ(LocalValue("StartUpdate"), "") << marker;
        EXPECT_EQ(LocalValue("CurrentVersion"), "57") << marker;
    }
}

TEST_F(VersionFileTest, FinishedStepMarkersAreKept) {
    for (const char* marker : {"EXTRACT_END", "UPDATE_END"}) {
        game_.Write("Version.ini",
                    std::string("[Version]\r\nCurrentVersion=4\r\nStartUpdate=") + marker + "\r\n");
        EXPECT_TRUE(ReadLocalVersion(game_.Client(), &versions_));
        EXPECT_EQ(versions_.baseVersion, 4u);
        EXPECT_EQ(LocalValue("StartUpdate"), marker);
    }
}

TEST_F(VersionFileTest, MissingCurrentVersionBecomesZeroAndIsWritten) {
    game_.Write("Version.ini", "[Version]\r\nCheckVersion=3\r\n");
    versions_.baseVersion = versions_.currentVersion = 5;
    EXPECT_TRUE(ReadLocalVersion(game_.Client(), &versions_));
    EXPECT_EQ(versions_.baseVersion, 0u);
    EXPECT_EQ(versions_.currentVersion, 0u);
    EXPECT_EQ(LocalValue("CurrentVersion"), "0");
    EXPECT_EQ(LocalValue("CheckVersion"), "3");
}

TEST_F(VersionFileTest, NegativeCurrentVersionIsAHugeUnsignedNumber) {
    game_.Write("Version.ini", "[Version]\r\nCurrentVersion=-1\r\n");
    ReadLocalVersion(game_.Client(), &versions_);
    EXPECT_EQ(versions_.baseVersion, 4294967295u);
}

TEST_F(VersionFileTest, SaveCurrentVersionAndMarkersWriteTheirValues) {
    game_.Write("Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=1\r\n");
    EXPECT_TRUE(SaveCurrentVersion(game_.Client(), 4294967295u));
    EXPECT_EQ(LocalValue("CurrentVersion"), "4294967295");

    VersionFileMarkers markers(game_.Client());
    StateMarkers& asInterface = markers;
    EXPECT_TRUE(asInterface.MarkExtractStart());
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_START");
    EXPECT_TRUE(asInterface.MarkExtractEnd());
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_END");
    EXPECT_TRUE(asInterface.MarkUpdateStart());
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_START");
    EXPECT_TRUE(asInterface.MarkUpdateEnd());
    EXPECT_EQ(LocalValue("StartUpdate"), "UPDATE_END");
    EXPECT_TRUE(asInterface.ClearStateMarker());
    EXPECT_EQ(LocalValue("StartUpdate"), "");
    EXPECT_EQ(LocalValue("CheckVersion"), "3");
}

TEST_F(VersionFileTest, MarkerWriteFailureIsReported) {
    // A directory where the file should be cannot be replaced by a file.
    game_.Write("Version.ini/keep", "");
    VersionFileMarkers markers(game_.Client());
    EXPECT_FALSE(markers.MarkUpdateStart());
    EXPECT_FALSE(SaveCurrentVersion(game_.Client(), 3));
}

TEST_F(VersionFileTest, ServerFileValuesAndUpdaterThreshold) {
    WriteServerFile("CheckVersion=3\r\nUpdaterVersion=20\r\nPatchFileVersion=11\r\n");
    versions_.baseVersion = versions_.currentVersion = 7;
    ASSERT_TRUE(Parse());
    EXPECT_EQ(versions_.serverCheckVersion, 3);
    EXPECT_EQ(versions_.updaterVersion, 20u);
    EXPECT_EQ(versions_.targetVersion, 11u);
    EXPECT_EQ(versions_.baseVersion, 7u);
    EXPECT_FALSE(replace_);
    EXPECT_FALSE(FileExists("UpdateVersion.ini"));

    for (const char* outdated : {"21", "-1"}) {
        replace_ = false;
        WriteServerFile(std::string("UpdaterVersion=") + outdated + "\r\nPatchFileVersion=1\r\n");
        ASSERT_TRUE(Parse());
        EXPECT_TRUE(replace_) << outdated;
        EXPECT_EQ(versions_.serverCheckVersion, 0) << "absent CheckVersion reads as 0";
    }
}

TEST_F(VersionFileTest, LocalVersionAboveTargetIsLoweredInMemoryOnly) {
    game_.Write("Version.ini", "[Version]\r\nCurrentVersion=45\r\n");
    ReadLocalVersion(game_.Client(), &versions_);
    WriteServerFile("CheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=40\r\n");
    ASSERT_TRUE(Parse());
    EXPECT_EQ(versions_.baseVersion, 40u);
    EXPECT_EQ(versions_.currentVersion, 40u);
    EXPECT_EQ(LocalValue("CurrentVersion"), "45");
}

TEST_F(VersionFileTest, MissingRequiredKeyFailsKeepsWhatWasReadAndDeletesTheFile) {
    WriteServerFile("CheckVersion=3\r\nPatchFileVersion=11\r\n");
    EXPECT_FALSE(Parse());
    EXPECT_FALSE(FileExists("UpdateVersion.ini"));

    WriteServerFile("CheckVersion=3\r\nUpdaterVersion=25\r\n");
    EXPECT_FALSE(Parse());
    EXPECT_EQ(versions_.serverCheckVersion, 3);
    EXPECT_EQ(versions_.updaterVersion, 25u);
    EXPECT_TRUE(replace_);
    EXPECT_FALSE(FileExists("UpdateVersion.ini"));
}

TEST_F(VersionFileTest, OverrideReplacesOnlyKeysTheServerFileHas) {
    WriteServerFile("CheckVersion=3\r\nUpdaterVersion=5\r\nPatchFileVersion=30\r\n");
    WriteOverride("PatchFileVersion=12\r\n");
    ASSERT_TRUE(Parse());
    EXPECT_EQ(versions_.targetVersion, 12u);
    EXPECT_EQ(versions_.updaterVersion, 5u);
    EXPECT_EQ(versions_.serverCheckVersion, 3);
    EXPECT_TRUE(FileExists("UpdateVersion-tov-.ini")) << "the window deletes it, not the parse";

    WriteServerFile("CheckVersion=1\r\nUpdaterVersion=5\r\nPatchFileVersion=30\r\n");
    WriteOverride("CheckVersion=3\r\nUpdaterVersion=21\r\n");
    ASSERT_TRUE(Parse());
    EXPECT_EQ(versions_.serverCheckVersion, 3);
    EXPECT_EQ(versions_.updaterVersion, 21u);
    EXPECT_EQ(versions_.targetVersion, 30u);
    EXPECT_TRUE(replace_);

    // The override cannot supply what the server file lacks.
    WriteServerFile("UpdaterVersion=5\r\nPatchFileVersion=30\r\n");
    ASSERT_TRUE(Parse());
    EXPECT_EQ(versions_.serverCheckVersion, 0);
    WriteServerFile("UpdaterVersion=5\r\n");
    WriteOverride("PatchFileVersion=12\r\n");
    EXPECT_FALSE(Parse());
}

}  // namespace
}  // namespace korvun
