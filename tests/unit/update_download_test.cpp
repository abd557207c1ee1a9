// The worker's download operations against a real nginx and the misbehaving server, with
// the updater pointed at them through CONFIG.ini and UpdaterURL.txt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/disk_space.h"
#include "platform/file_io.h"
#include "platform/profile.h"
#include "support/nginx_fixture.h"
#include "support/recording_window.h"
#include "update/server_address.h"
#include "update/update_thread.h"

namespace korvun {
namespace {

using test::GameDirectory;
using test::MisbehavingServer;
using test::NginxServer;
using test::ReadFileBytes;
using test::RecordingWindow;

std::string Pattern(size_t size, char seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 7 % 251);
    return data;
}

const RetryPolicy::Pauses kShortPauses(3, std::chrono::milliseconds(5));

class DownloadTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        nginx_ = new NginxServer();
        misbehaving_ = new MisbehavingServer("plain", 30.0);
    }
    static void TearDownTestSuite() {
        delete misbehaving_;
        delete nginx_;
    }

    void SetUp() override {
        // Every test has its own directory on the servers, so request counts stay its own.
        prefix_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        game_.Write("Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=0\r\n");
    }
    void TearDown() override { worker_.reset(); }

    // Points the game directory at address (host:port[/path]) and builds the worker.
    CUpdateThread& StartWorker(const std::string& address) {
        game_.PointAt(address);
        worker_ = std::make_unique<CUpdateThread>(
            window_, game_.Client(),
            UpdateSettings{ChooseServerAddress(game_.Client()), [this] { return freeSpace_; }});
        // Failures that may pass are retried; the tests do not wait out a player's pauses.
        worker_->Download().SetRetryPauses(kShortPauses);
        return *worker_;
    }
    CUpdateThread& StartOnNginx() { return StartWorker(nginx_->Address() + "/" + prefix_); }
    CUpdateThread& StartOnMisbehaving(const std::string& scenario) {
        return StartWorker(misbehaving_->Address(scenario) + "/" + prefix_);
    }

    void Serve(const std::string& relative, const std::string& content) {
        nginx_->WriteFile(prefix_ + "/" + relative, content);
        misbehaving_->WriteFile(prefix_ + "/" + relative, content);
    }
    void ServeVersionFile(const std::string& body) {
        Serve("patch/UpdateVersion.ini", "[Version]\r\n" + body);
    }
    void ServePackage(uint32_t version, const std::string& content) {
        Serve("patch/patch/" + PatchFileName(version), content);
    }
    size_t Requests(const std::string& name, size_t atLeast = 0) {
        return nginx_->CountRequests("/" + prefix_ + "/" + name, atLeast);
    }

    // Receives until the download completes or fails; the bound catches an endless loop.
    int Drain(CUpdateThread& worker) {
        for (int i = 0; i < 1000000; ++i) {
            int result = worker.Download().ReceiveBlock();
            if (result != CUpdateDownload::kMoreData) return result;
        }
        ADD_FAILURE() << "the download never ended";
        return -1;
    }

    std::vector<std::string> Boxes() { return window_.Boxes(); }
    std::string Url(uint32_t version) const { return PatchUrl(worker_->ServerAddress(), version); }
    bool StatusShown(const std::string& text) {
        std::vector<std::string> history = window_.StatusHistory();
        return std::find(history.begin(), history.end(), text) != history.end();
    }

    static NginxServer* nginx_;
    static MisbehavingServer* misbehaving_;

    GameDirectory game_;
    RecordingWindow window_;
    std::unique_ptr<CUpdateThread> worker_;
    std::optional<uint64_t> freeSpace_ = uint64_t{1} << 40;
    std::string prefix_;
};

NginxServer* DownloadTest::nginx_ = nullptr;
MisbehavingServer* DownloadTest::misbehaving_ = nullptr;

TEST(ContentLengthTest, ParsedAsUnsigned64BitOrNotAtAll) {
    EXPECT_EQ(ParseContentLength("0"), 0u);
    EXPECT_EQ(ParseContentLength("2147483648"), 2147483648u);
    EXPECT_EQ(ParseContentLength("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ParseContentLength("18446744073709551616"), std::nullopt);
    EXPECT_EQ(ParseContentLength("-1"), std::nullopt);
    EXPECT_EQ(ParseContentLength("+5"), std::nullopt);
    EXPECT_EQ(ParseContentLength("12a"), std::nullopt);
    EXPECT_EQ(ParseContentLength(""), std::nullopt);
}

TEST_F(DownloadTest, VersionFileIsFetchedParsedAndRemoved) {
    ServeVersionFile("CheckVersion=3\r\nUpdaterVersion=21\r\nPatchFileVersion=11\r\n");
    CUpdateThread& worker = StartOnNginx();
    EXPECT_EQ(worker.ServerAddress(), nginx_->Address() + "/" + prefix_);
    ASSERT_TRUE(worker.FetchVersionFile(true));
    EXPECT_EQ(worker.Versions().serverCheckVersion, 3);
    EXPECT_EQ(worker.Versions().targetVersion, 11u);
    EXPECT_TRUE(worker.Flags().replaceUpdater);
    EXPECT_FALSE(FileExists("UpdateVersion.ini"));
    EXPECT_TRUE(StatusShown("Downloading the file"));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Requests("patch/UpdateVersion.ini", 2), 2u) << "size query, then the download";
}

TEST_F(DownloadTest, UnparsableVersionFileIsReportedOnlyWhenNotQuiet) {
    ServeVersionFile("CheckVersion=3\r\nUpdaterVersion=1\r\n");
    CUpdateThread& worker = StartOnNginx();
    EXPECT_FALSE(worker.FetchVersionFile(true));
    EXPECT_FALSE(StatusShown("Download Failed: Read Profilec08"));
    EXPECT_FALSE(FileExists("UpdateVersion.ini"));
    EXPECT_FALSE(worker.FetchVersionFile(false));
    EXPECT_EQ(window_.Status(), "Download Failed: Read Profilec08");
    EXPECT_FALSE(FileExists("UpdateVersion.ini"));
}

TEST_F(DownloadTest, ErrorPageWithLengthIsDownloadedAsTheFile) {
    // A 404 page with its length is taken as the version file and fails the parse.
    CUpdateThread& worker = StartOnMisbehaving("errorpage");
    EXPECT_FALSE(worker.FetchVersionFile(false));
    EXPECT_EQ(window_.Status(), "Download Failed: Read Profilec08");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(DownloadTest, MissingLengthFailsWithC25EvenWhenQuiet) {
    ServeVersionFile("CheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    CUpdateThread& worker = StartOnMisbehaving("nolength");
    EXPECT_FALSE(worker.FetchVersionFile(true));
    EXPECT_EQ(window_.Status(), "Download Failed: Cannot read the file.c25");
    EXPECT_FALSE(FileExists("UpdateVersion.ini")) << "nothing is created before the size is known";
}

TEST_F(DownloadTest, UnreachableServerShowsTheSystemTextThenC25) {
    CUpdateThread& worker = StartWorker("127.0.0.1:" + std::to_string(test::UnusedPort()));
    EXPECT_FALSE(worker.FetchVersionFile(true));
    EXPECT_EQ(Boxes(),
              std::vector<std::string>{
                  "Korvun Updater: A connection with the server could not be established"});
    EXPECT_EQ(window_.Status(), "Download Failed: Cannot read the file.c25");
}

TEST_F(DownloadTest, FreeSpaceExactlyTheAnnouncedSizeIsInsufficient) {
    const std::string body =
        "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n";
    Serve("patch/UpdateVersion.ini", body);
    CUpdateThread& worker = StartOnNginx();
    freeSpace_ = body.size();
    EXPECT_FALSE(worker.FetchVersionFile(true));
    EXPECT_EQ(window_.Status(), "Insufficient capacity on hard disk for download.c06");

    EXPECT_FALSE(worker.Download().HasFreeSpace(body.size()));
    EXPECT_TRUE(worker.Download().HasFreeSpace(body.size() - 1));
    freeSpace_ = std::nullopt;
    EXPECT_FALSE(worker.Download().HasFreeSpace(0)) << "an unanswered query is no space";
}

TEST_F(DownloadTest, BodyOfExactlyTheAnnouncedSizeCompletes) {
    const std::string content = Pattern(4096, 'a');
    ServePackage(1, content);
    CUpdateThread& worker = StartOnNginx();
    window_.SetPatchPhase(true);
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    EXPECT_EQ(worker.Download().ExpectedSize(), 4096u);
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(worker.Download().ReceivedSize(), 4096u);
    EXPECT_FALSE(worker.Download().TransferOpen());
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), content);
    EXPECT_EQ(window_.ByteCounter(), "4096 / 4096");
    EXPECT_EQ(window_.FileGauge().Pos(), 4096u);
}

TEST_F(DownloadTest, LocalFileHoldsEveryReceivedByteWhenCompletedOrStopped) {
    const std::string content = Pattern(700001, 'p');
    ServePackage(1, content);
    CUpdateThread& worker = StartOnNginx();
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), content);

    // Stopped between blocks: the partial package on disk is what arrived.
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(worker.Download().ReceiveBlock(), CUpdateDownload::kMoreData);
    uint64_t received = worker.Download().ReceivedSize();
    worker.Download().CloseTransfer();
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), content.substr(0, received));
}

TEST_F(DownloadTest, BodyLongerThanAnnouncedFailsWithC34AndMarksTheStateFile) {
    // The file grows between the size query and the download.
    ServePackage(5, Pattern(1000, 'g'));
    CUpdateThread& worker = StartOnMisbehaving("grow");
    worker.Versions().currentVersion = 5;
    ASSERT_TRUE(worker.Download().OpenDownload(Url(5), PatchFileName(5)));
    EXPECT_EQ(worker.Download().ExpectedSize(), 1000u);
    EXPECT_EQ(Drain(worker), CUpdateDownload::kFailed);
    EXPECT_GT(worker.Download().ReceivedSize(), 1000u);
    std::string expected =
        "Download FailedOv: ,0,5," + std::to_string(worker.Download().ReceivedSize()) + "/1000 c34";
    EXPECT_EQ(window_.Status(), expected);
    EXPECT_EQ(ReadProfileString("Version", "StartUpdate", "", ".\\Version.ini"), "FILE_SIZE_ERR");
    EXPECT_FALSE(worker.Download().TransferOpen());
}

TEST_F(DownloadTest, BytesSentPastTheAnnouncedLengthAreNotPartOfTheFile) {
    const std::string content = Pattern(3000, 'l');
    ServePackage(1, content);
    CUpdateThread& worker = StartOnMisbehaving("longer");
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), content);
}

TEST_F(DownloadTest, ConnectionClosedEarlyIsAFailedReadNotAnEndlessLoop) {
    for (const char* scenario : {"short", "shrink"}) {
        SCOPED_TRACE(scenario);
        prefix_ = std::string("closed_") + scenario;
        ServePackage(3, Pattern(9000, 's'));
        window_.ClearRecords();
        CUpdateThread& worker = StartOnMisbehaving(scenario);
        worker.Versions().currentVersion = 3;
        ASSERT_TRUE(worker.Download().OpenDownload(Url(3), PatchFileName(3)));
        EXPECT_EQ(Drain(worker), CUpdateDownload::kFailed);
        EXPECT_EQ(worker.Download().ReceivedSize(), 4500u);
        EXPECT_EQ(Boxes(), std::vector<std::string>{
                               "Korvun Updater: The connection with the server was terminated "
                               "abnormally"});
        EXPECT_EQ(window_.Status(), "Download FailedEx: ,12030,3 c23-1");
        // The truncated package stays for the next run, which downloads it anew.
        EXPECT_EQ(FileSize("pk0003.patch").value_or(0), 4500u);
        worker.Download().CloseTransfer();
        EXPECT_FALSE(worker.Download().TransferOpen());
    }
}

TEST_F(DownloadTest, StalledTransferFailsAfterTheReceiveTimeout) {
    ServePackage(7, Pattern(8000, 't'));
    CUpdateThread& worker = StartOnMisbehaving("stall");
    worker.Download().Session().SetReceiveTimeout(300);
    worker.Versions().currentVersion = 7;
    ASSERT_TRUE(worker.Download().OpenDownload(Url(7), PatchFileName(7)));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kFailed);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Korvun Updater: The operation timed out"});
    EXPECT_EQ(window_.Status(), "Download FailedEx: ,12002,7 c23-1");
}

TEST_F(DownloadTest, ServerFileThatCannotBeOpenedTheSecondTimeIsC30) {
    ServePackage(1, Pattern(100, 'o'));
    CUpdateThread& worker = StartOnMisbehaving("once");
    EXPECT_FALSE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    EXPECT_EQ(Boxes(),
              std::vector<std::string>{
                  "Korvun Updater: The server returned an invalid or unrecognized response"});
    EXPECT_EQ(window_.Status(), "Download Failed: Cannot open server file.c30");
}

TEST_F(DownloadTest, LocalFileThatCannotBeCreatedIsC32WithItsName) {
    ServePackage(1, Pattern(100, 'c'));
    CUpdateThread& worker = StartOnNginx();
    EXPECT_FALSE(worker.Download().OpenDownload(Url(1), "missing\\dir\\pk0001.patch"));
    EXPECT_EQ(window_.Status(),
              "Download Failed: missing\\dir\\pk0001.patch Cannot open the file.c32");
}

TEST_F(DownloadTest, LocalWriteFailureIsC23) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    ServePackage(2, Pattern(5000, 'w'));
    CUpdateThread& worker = StartOnNginx();
    worker.Versions().currentVersion = 2;
    ASSERT_TRUE(worker.Download().OpenDownload(Url(2), "/dev/full"));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kFailed);
    EXPECT_EQ(window_.Status(), "Download FailedLWx: ," + std::to_string(ENOSPC) + ",2 c23");
}

TEST_F(DownloadTest, RedirectIsFollowed) {
    const std::string content = Pattern(2500, 'r');
    ServePackage(1, content);
    CUpdateThread& worker = StartOnMisbehaving("redirect");
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), content);
}

TEST_F(DownloadTest, MissingPackageInTheRangeLowersTheTargetAndDownloadsNothing) {
    ServePackage(8, Pattern(1000, '8'));
    ServePackage(9, Pattern(2000, '9'));
    ServePackage(11, Pattern(3000, 'b'));
    CUpdateThread& worker = StartOnNginx();
    worker.Versions() = {7, 11, 7, 1, 3};
    EXPECT_EQ(worker.PrepareTotalProgress(), CUpdateThread::SizeScan::SomeMissing);
    EXPECT_EQ(worker.Versions().targetVersion, 9u);
    EXPECT_EQ(worker.Versions().currentVersion, 7u);
    EXPECT_EQ(window_.TotalGauge().Upper(), 3000u);
    EXPECT_EQ(window_.TotalGauge().Pos(), 0u);
    EXPECT_EQ(Requests("patch/patch/pk0010.patch", 1), 1u);
    EXPECT_EQ(Requests("patch/patch/pk0008.patch"), 1u);
    EXPECT_EQ(Requests("patch/patch/pk0009.patch"), 1u);
    EXPECT_EQ(Requests("patch/patch/pk0011.patch"), 0u);
    EXPECT_FALSE(FileExists("pk0008.patch"));
    EXPECT_FALSE(FileExists("pk0009.patch"));
}

TEST_F(DownloadTest, TotalProgressSumsTheWholeRange) {
    ServePackage(1, Pattern(1000, '1'));
    ServePackage(2, Pattern(2000, '2'));
    ServePackage(3, Pattern(3000, '3'));
    CUpdateThread& worker = StartOnNginx();
    worker.Versions() = {0, 3, 0, 1, 3};
    EXPECT_EQ(worker.PrepareTotalProgress(), CUpdateThread::SizeScan::AllPresent);
    EXPECT_TRUE(worker.Download().TotalProgress());
    EXPECT_EQ(worker.Versions().targetVersion, 3u);
    EXPECT_EQ(window_.TotalGauge().Upper(), 6000u);

    // Downloading the packages advances the total gauge over all of them.
    while (worker.StartNextPatch()) {
        ASSERT_EQ(Drain(worker), CUpdateDownload::kComplete);
    }
    EXPECT_TRUE(worker.IsFinished());
    EXPECT_EQ(worker.Download().TotalReceived(), 6000u);
    EXPECT_EQ(window_.TotalGauge().Pos(), 6000u);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0002.patch")), Pattern(2000, '2'));
}

TEST_F(DownloadTest, ErrorPageWithLengthCountsAsAPackage) {
    CUpdateThread& worker = StartOnMisbehaving("errorpage");
    worker.Versions() = {0, 2, 0, 1, 3};
    EXPECT_EQ(worker.PrepareTotalProgress(), CUpdateThread::SizeScan::AllPresent);
    EXPECT_EQ(worker.Versions().targetVersion, 2u);
    EXPECT_GT(window_.TotalGauge().Upper(), 0u);
}

TEST_F(DownloadTest, NextPatchIsNamedWithAtLeastFourDigits) {
    ServePackage(42, Pattern(300, 'x'));
    ServePackage(12345, Pattern(400, 'y'));
    CUpdateThread& worker = StartOnNginx();
    worker.Versions() = {41, 41, 41, 1, 3};
    EXPECT_FALSE(worker.StartNextPatch());
    EXPECT_TRUE(worker.IsFinished());
    EXPECT_EQ(worker.Versions().currentVersion, 41u);

    CUpdateThread& next = StartOnNginx();
    next.Versions() = {41, 42, 41, 1, 3};
    ASSERT_TRUE(next.StartNextPatch());
    EXPECT_EQ(next.Versions().currentVersion, 42u);
    EXPECT_EQ(Drain(next), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0042.patch")), Pattern(300, 'x'));

    next.Versions() = {12344, 12345, 12344, 1, 3};
    ASSERT_TRUE(next.StartNextPatch());
    EXPECT_EQ(Drain(next), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk12345.patch")), Pattern(400, 'y'));
    EXPECT_FALSE(next.IsFinished());
}

TEST_F(DownloadTest, NextPatchWithoutRoomIsC33) {
    ServePackage(1, Pattern(500, 'n'));
    CUpdateThread& worker = StartOnNginx();
    worker.Versions() = {0, 1, 0, 1, 3};
    freeSpace_ = 500;
    EXPECT_FALSE(worker.StartNextPatch());
    EXPECT_EQ(window_.Status(), "Insufficient capacity on hard disk for download.c33");
    EXPECT_FALSE(worker.IsFinished());
    EXPECT_EQ(worker.Versions().currentVersion, 1u);
}

TEST_F(DownloadTest, SizesOfTwoGibibytesAndMoreWork) {
    // A sparse file: nginx announces the size without the disk holding it.
    const uint64_t size = (uint64_t{3} << 30) + 5;
    std::string path = nginx_->Root() + "/" + prefix_ + "/patch/patch/pk0001.patch";
    nginx_->WriteFile(prefix_ + "/patch/patch/pk0001.patch", "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);

    CUpdateThread& worker = StartOnNginx();
    EXPECT_EQ(worker.Download().QueryRemoteSize(Url(1)), size);
    window_.SetPatchPhase(true);
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1)));
    EXPECT_EQ(worker.Download().ExpectedSize(), size);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(worker.Download().ReceiveBlock(), CUpdateDownload::kMoreData);
    worker.Download().CloseTransfer();
    EXPECT_FALSE(worker.Download().TransferOpen());
    EXPECT_EQ(window_.FileGauge().Upper(), size);
}

TEST_F(DownloadTest, StopEndsTheVersionFileLoop) {
    ServeVersionFile("CheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    CUpdateThread& worker = StartOnNginx();
    worker.Stop().Set();
    EXPECT_FALSE(worker.FetchVersionFile(false));
    EXPECT_EQ(worker.Download().ReceivedSize(), 0u);
}

TEST_F(DownloadTest, AnExceptionInsideTheRunEndsItAsFailedAndTheProcessGoesOn) {
    ServeVersionFile("CheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=1\r\n");
    game_.Write("Version.ini", "[Version]\r\nCheckVersion=3\r\nCurrentVersion=1\r\n");
    game_.PointAt(nginx_->Address() + "/" + prefix_);
    // The free-space query is the run's first call out after the version file has arrived.
    CUpdateThread worker(
        window_, game_.Client(),
        UpdateSettings{ChooseServerAddress(game_.Client()), []() -> std::optional<uint64_t> {
                           throw std::runtime_error("disk query failed");
                       }});
    ASSERT_TRUE(worker.Start());
    worker.Join();
    RunOutcome outcome = worker.Outcome();
    EXPECT_EQ(outcome.kind, RunOutcome::Kind::Failed);
    EXPECT_EQ(outcome.failure.Message(), "Update error: disk query failed");
    EXPECT_EQ(window_.Status(), "Update error: disk query failed");
    EXPECT_TRUE(window_.StatusLineMoved());
    EXPECT_FALSE(worker.Download().TransferOpen());
}

// The last access-log line of a path: "GET PATH STATUS BYTES".
std::string LastRequest(const NginxServer& nginx, const std::string& needle) {
    std::string last;
    for (const std::string& line : nginx.AccessLog()) {
        if (line.find(needle) != std::string::npos) last = line;
    }
    return last;
}

TEST_F(DownloadTest, AStoppedDownloadIsContinuedWhereItsBytesEnd) {
    const std::string content = Pattern(700001, 'r');
    ServePackage(1, content);
    CUpdateThread& worker = StartOnNginx();
    window_.SetPatchPhase(true);
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1), true));
    EXPECT_TRUE(FileExists("pk0001.patch.validator")) << "written before the first byte";
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(worker.Download().ReceiveBlock(), CUpdateDownload::kMoreData);
    worker.Download().CloseTransfer();
    uint64_t onDisk = FileSize("pk0001.patch").value_or(0);
    ASSERT_GT(onDisk, 0u);
    ASSERT_EQ(Requests("patch/patch/pk0001.patch", 2), 2u);

    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1), true));
    EXPECT_EQ(worker.Download().ResumedFrom(), onDisk);
    EXPECT_EQ(worker.Download().ReceivedSize(), onDisk);
    EXPECT_EQ(window_.FileGauge().Pos(), onDisk) << "the gauge starts where the bytes end";
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), content);
    EXPECT_FALSE(FileExists("pk0001.patch.validator"));
    ASSERT_EQ(Requests("patch/patch/pk0001.patch", 4), 4u);
    EXPECT_EQ(LastRequest(*nginx_, "pk0001.patch"), "GET /" + prefix_ +
                                                        "/patch/patch/pk0001.patch 206 " +
                                                        std::to_string(content.size() - onDisk));
}

TEST_F(DownloadTest, APartialFileWhoseServerCopyChangedIsFetchedWhole) {
    ServePackage(1, Pattern(300000, 'o'));
    CUpdateThread& worker = StartOnNginx();
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1), true));
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(worker.Download().ReceiveBlock(), CUpdateDownload::kMoreData);
    worker.Download().CloseTransfer();

    // The same size, another file: only its validator tells.
    const std::string changed = Pattern(300000, 'n');
    ServePackage(1, changed);
    std::filesystem::last_write_time(
        nginx_->Root() + "/" + prefix_ + "/patch/patch/pk0001.patch",
        std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1), true));
    EXPECT_EQ(worker.Download().ResumedFrom(), 0u);
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(ReadFileBytes(game_.File("pk0001.patch")), changed);
    ASSERT_EQ(Requests("patch/patch/pk0001.patch", 4), 4u);
    EXPECT_EQ(LastRequest(*nginx_, "pk0001.patch"),
              "GET /" + prefix_ + "/patch/patch/pk0001.patch 200 300000");
}

TEST_F(DownloadTest, AFileAnEarlierRunCompletedIsNotFetchedAgain) {
    const std::string content = Pattern(200000, 'c');
    ServePackage(1, content);
    CUpdateThread& worker = StartOnNginx();
    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1), true));
    ASSERT_EQ(worker.Download().ReceiveBlock(), CUpdateDownload::kMoreData);
    worker.Download().CloseTransfer();
    // The run ended after the last byte was written but before the record went.
    game_.Write("pk0001.patch", content);
    ASSERT_EQ(Requests("patch/patch/pk0001.patch", 2), 2u);

    ASSERT_TRUE(worker.Download().OpenDownload(Url(1), PatchFileName(1), true));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kComplete);
    EXPECT_EQ(worker.Download().ReceivedSize(), content.size());
    EXPECT_FALSE(FileExists("pk0001.patch.validator"));
    EXPECT_EQ(Requests("patch/patch/pk0001.patch", 4), 3u) << "only the size was asked";
}

TEST_F(DownloadTest, ABrokenTransferIsRetriedThreeTimesBeforeItFails) {
    ServePackage(3, Pattern(9000, 'b'));
    CUpdateThread& worker = StartOnMisbehaving("short");
    worker.Versions().currentVersion = 3;
    ASSERT_TRUE(worker.Download().OpenDownload(Url(3), PatchFileName(3), true));
    EXPECT_EQ(Drain(worker), CUpdateDownload::kFailed);
    for (const char* retry : {"Retrying the download (1/3)", "Retrying the download (2/3)",
                              "Retrying the download (3/3)"}) {
        EXPECT_TRUE(StatusShown(retry)) << retry;
    }
    EXPECT_FALSE(StatusShown("Retrying the download (4/3)"));
    // Only the failure that ends the download is shown to the player.
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(window_.Status(), "Download FailedEx: ,12030,3 c23-1");
}

TEST_F(DownloadTest, AStopCutsARetryPauseShortAndShowsNothing) {
    ServePackage(3, Pattern(9000, 's'));
    CUpdateThread& worker = StartOnMisbehaving("short");
    worker.Download().SetRetryPauses(RetryPolicy::Pauses(3, std::chrono::seconds(30)));
    ASSERT_TRUE(worker.Download().OpenDownload(Url(3), PatchFileName(3), true));
    // The stop comes once the first failure is behind and its 30 s pause has begun.
    std::thread stopper([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!StatusShown("Retrying the download (1/3)") &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        worker.Stop().Set();
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Drain(worker), CUpdateDownload::kFailed);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(window_.Status(), "Retrying the download (1/3)");
}

}  // namespace
}  // namespace korvun
