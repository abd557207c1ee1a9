// Runs that do not reach their end: a stop request during a download and during an
// extraction, a damaged package, and the next start after each of them.
#include <signal.h>

#include <filesystem>

#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCompleted = 0, kFailed = 1, kStopped = 3;

using InterruptTest = UpdateScenario;

uint64_t SizeOf(const std::string& path) {
    std::error_code error;
    uint64_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::string Payload(size_t size) {
    std::string data(size, '\0');
    uint32_t state = 12345;
    for (char& c : data) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return data;
}

// SIGINT from a terminal user, SIGTERM from a service manager: the same safe stop.
class StopSignalTest : public UpdateScenario, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, StopDuringADownloadKeepsThePartialPackageAndTheVersion) {
    const std::string payload = Payload(3 << 20);
    TrickleServer slow(1 << 20);  // bytes per second: the package takes about three seconds
    slow.WriteFile("patch/UpdateVersion.ini",
                   "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    std::string package = BuildPackage({{"Data/payload.bin", payload, false}});
    slow.WriteFile("patch/patch/pk0002.patch", package);
    PointAt(slow.Address());
    WriteLocalVersion(1, "EXTRACT_END");

    std::unique_ptr<ChildProcess> console = StartConsole();
    ASSERT_TRUE(WaitUntil([&] { return SizeOf(GamePath("pk0002.patch")) > 100000; }, 30s))
        << console->Stdout() << console->Stderr();
    console->Signal(GetParam());
    auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(console->Wait(30s), kStopped) << console->Stdout() << console->Stderr();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);

    ExpectNoSanitizerReport(console->Stderr());
    EXPECT_EQ(console->Stderr(), "");
    EXPECT_EQ(console->Stdout().find("Extracting"), std::string::npos) << console->Stdout();
    // Beside the exit status, a word that nothing is lost.
    EXPECT_NE(
        console->Stdout().find("\nStopped; the next run continues where this one left off.\n"),
        std::string::npos)
        << console->Stdout();
    EXPECT_LT(SizeOf(GamePath("pk0002.patch")), package.size());
    EXPECT_FALSE(GameFileExists("Data"));
    EXPECT_EQ(LocalValue("CurrentVersion"), "1");
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_END");

    // The next start fetches the package from its beginning.
    PublishVersion(3, 1, 2);
    server_.WriteFile("patch/patch/pk0002.patch", package);
    PointAt(server_.Address());
    ConsoleResult next = RunConsole();
    EXPECT_EQ(next.status, kCompleted) << next.out << next.err;
    EXPECT_EQ(next.LastLine(), "Update Completed");
    EXPECT_EQ(ReadGameFile("Data/payload.bin"), payload);
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    EXPECT_EQ(LocalValue("CurrentVersion"), "2");
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "Interrupt" : "Terminate");
                         });

TEST_F(InterruptTest, StopDuringAnExtractionClearsTheMarkerAndKeepsThePackage) {
    // Compressed to little, so the download is over at once and the extraction takes long.
    const std::string zeros(16 << 20, '\0');
    const int kEntries = 16;
    std::vector<PackageEntry> entries;
    for (int i = 0; i < kEntries; ++i) {
        entries.push_back({"Data/zero" + std::to_string(i) + ".bin", "", true, &zeros});
    }
    PublishVersion(3, 1, 2);
    std::string package = PublishPackage(2, entries);
    WriteLocalVersion(1, "UPDATE_END");
    auto completeEntries = [&] {
        int complete = 0;
        for (int i = 0; i < kEntries; ++i) {
            complete += SizeOf(GamePath("Data/zero" + std::to_string(i) + ".bin")) == zeros.size();
        }
        return complete;
    };

    std::unique_ptr<ChildProcess> console = StartConsole();
    ASSERT_TRUE(
        WaitUntil([&] { return console->Stdout().find("Extracting\n") != std::string::npos; }, 30s))
        << console->Stdout() << console->Stderr();
    console->Signal(SIGINT);
    EXPECT_EQ(console->Wait(30s), kStopped) << console->Stdout() << console->Stderr();

    ExpectNoSanitizerReport(console->Stderr());
    EXPECT_EQ(console->Stderr(), "");
    EXPECT_EQ(console->Stdout().find("Completed"), std::string::npos) << console->Stdout();
    EXPECT_LT(completeEntries(), kEntries);
    EXPECT_EQ(LocalValue("StartUpdate"), "");
    EXPECT_EQ(LocalValue("CurrentVersion"), "1");
    EXPECT_EQ(ReadGameFile("pk0002.patch"), package);

    // The next start fetches the package again and applies it whole.
    ConsoleResult next = RunConsole();
    EXPECT_EQ(next.status, kCompleted) << next.out << next.err;
    EXPECT_EQ(next.LastLine(), "Update Completed");
    EXPECT_EQ(completeEntries(), kEntries);
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_END");
    EXPECT_EQ(LocalValue("CurrentVersion"), "2");
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    EXPECT_EQ(Requests("/pk0002.patch", 6), 6u);
}

TEST_F(InterruptTest, DamagedPackageFailsTheExtractionAndIsFetchedAgainNextTime) {
    const std::string payload = Payload(200000);
    PublishVersion(3, 1, 2);
    std::string good = PublishPackage(2, {{"Data/payload.bin", payload, false}});
    // One byte of the stored content changed: the entry no longer matches its CRC.
    std::string damaged = good;
    size_t dataStart =
        30 + static_cast<unsigned char>(good[26]) + 256 * static_cast<unsigned char>(good[27]) +
        static_cast<unsigned char>(good[28]) + 256 * static_cast<unsigned char>(good[29]);
    damaged[dataStart + payload.size() / 2] ^= 0x5A;
    server_.WriteFile("patch/patch/pk0002.patch", damaged);
    WriteLocalVersion(1, "EXTRACT_END");

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kFailed) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Extraction Failedc12");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_START");
    EXPECT_EQ(LocalValue("CurrentVersion"), "1");
    EXPECT_EQ(ReadGameFile("pk0002.patch"), damaged);

    // The interrupted extraction is noticed, the marker cleared, the package fetched again.
    server_.WriteFile("patch/patch/pk0002.patch", good);
    ConsoleResult next = RunConsole();
    EXPECT_EQ(next.status, kCompleted) << next.out << next.err;
    EXPECT_EQ(next.LastLine(), "Update Completed");
    EXPECT_EQ(ReadGameFile("Data/payload.bin"), payload);
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_END");
    EXPECT_EQ(LocalValue("CurrentVersion"), "2");
    EXPECT_FALSE(GameFileExists("pk0002.patch"));
    EXPECT_EQ(Requests("/pk0002.patch", 6), 6u);
}

// Something other than a package under a package's name (a server's error page, say).
TEST_F(InterruptTest, FileThatIsNoPackageFailsTheExtraction) {
    PublishVersion(3, 1, 2);
    server_.WriteFile("patch/patch/pk0002.patch",
                      "<html><body><h1>404 Not Found</h1></body></html>\n");
    WriteLocalVersion(1);

    ConsoleResult run = RunConsole();
    EXPECT_EQ(run.status, kFailed) << run.out << run.err;
    EXPECT_EQ(run.LastLine(), "Extraction Failedc12");
    EXPECT_EQ(LocalValue("StartUpdate"), "EXTRACT_START");
    EXPECT_EQ(LocalValue("CurrentVersion"), "1");
    EXPECT_TRUE(GameFileExists("pk0002.patch"));
}

}  // namespace
}  // namespace korvun::test
