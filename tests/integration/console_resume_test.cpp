// Downloads that outlive their connection: a run stopped or killed halfway through a package
// and started again, connections cut under a run, and servers that cannot continue a file.
// nginx sends slowly enough (limit_rate) to be interrupted; its access log counts the bytes.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "integration/update_scenario.h"

namespace korvun::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCompleted = 0, kStopped = 3;
constexpr size_t kPayloadSize = 16 << 20;

uint64_t SizeOf(const std::string& path) {
    std::error_code error;
    uint64_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::string Payload(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t state = seed;
    for (char& c : data) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return data;
}

// Small socket buffers: bytes nginx counts as sent have nearly all reached the client.
NginxServer::Tuning Tuned(const std::string& serverConfig) { return {serverConfig, "sndbuf=64k"}; }

class ResumeTest : public UpdateScenario {
  protected:
    // Publishes version 2 (one stored package of payload) on server and points the client,
    // at version 1, at address.
    std::string PublishOn(const NginxServer& server, const std::string& payload) {
        server.WriteFile(
            "patch/UpdateVersion.ini",
            "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
        std::string package = BuildPackage({{"Data/payload.bin", payload, false}});
        server.WriteFile("patch/patch/pk0002.patch", package);
        return package;
    }

    // Starts a run and ends it with signal once about half of the package is on disk.
    void InterruptAtHalf(uint64_t packageSize, int signal, int expectedStatus) {
        std::unique_ptr<ChildProcess> console = StartConsole();
        ASSERT_TRUE(
            WaitUntil([&] { return SizeOf(GamePath("pk0002.patch")) >= packageSize / 2; }, 60s))
            << console->Stdout() << console->Stderr();
        console->Signal(signal);
        EXPECT_EQ(console->Wait(30s), expectedStatus) << console->Stdout() << console->Stderr();
        EXPECT_LT(SizeOf(GamePath("pk0002.patch")), packageSize);
        EXPECT_TRUE(GameFileExists("pk0002.patch.validator"));
        EXPECT_EQ(LocalValue("CurrentVersion"), "1");
    }

    void ExpectCompletedWith(const ConsoleResult& run, const std::string& payload) {
        EXPECT_EQ(run.status, kCompleted) << run.out << run.err;
        EXPECT_EQ(run.LastLine(), "Update Completed") << run.out;
        EXPECT_EQ(ReadGameFile("Data/payload.bin"), payload);
        EXPECT_EQ(LocalValue("CurrentVersion"), "2");
        EXPECT_FALSE(GameFileExists("pk0002.patch"));
        EXPECT_FALSE(GameFileExists("pk0002.patch.validator"));
    }
};

struct Interruption {
    const char* name;
    int signal;
    int status;
};

class InterruptedDownloadTest : public ResumeTest,
                                public ::testing::WithParamInterface<Interruption> {};

TEST_P(InterruptedDownloadTest, TheNextRunFetchesOnlyTheRest) {
    NginxServer nginx(Tuned("limit_rate 4m;"));
    const std::string payload = Payload(kPayloadSize, 7);
    std::string package = PublishOn(nginx, payload);
    PointAt(nginx.Address());
    WriteLocalVersion(1, "EXTRACT_END");

    InterruptAtHalf(package.size(), GetParam().signal, GetParam().status);
    ConsoleResult next = RunConsole();
    ExpectCompletedWith(next, payload);
    EXPECT_NE(next.out.find("\nResuming pk0002.patch: "), std::string::npos) << next.out;
    nginx.CountRequests("pk0002.patch", 6);
    EXPECT_LE(nginx.BodyBytesSent("pk0002.patch"), package.size() * 11 / 10);
}

INSTANTIATE_TEST_SUITE_P(Resume, InterruptedDownloadTest,
                         ::testing::Values(Interruption{"Stopped", SIGINT, kStopped},
                                           Interruption{"Killed", SIGKILL, 128 + SIGKILL}),
                         [](const ::testing::TestParamInfo<Interruption>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ResumeTest, AServerThatIgnoresRangesSendsTheFileAgainWhole) {
    NginxServer nginx(Tuned("limit_rate 4m; max_ranges 0;"));
    const std::string payload = Payload(kPayloadSize, 11);
    std::string package = PublishOn(nginx, payload);
    PointAt(nginx.Address());
    WriteLocalVersion(1, "EXTRACT_END");

    InterruptAtHalf(package.size(), SIGINT, kStopped);
    ConsoleResult next = RunConsole();
    ExpectCompletedWith(next, payload);
}

TEST_F(ResumeTest, APartialPackageWhoseServerCopyChangedIsFetchedWhole) {
    NginxServer nginx(Tuned("limit_rate 4m;"));
    std::string package = PublishOn(nginx, Payload(kPayloadSize, 13));
    PointAt(nginx.Address());
    WriteLocalVersion(1, "EXTRACT_END");
    InterruptAtHalf(package.size(), SIGINT, kStopped);

    // Republished: as large as before, other bytes; only the validator tells them apart.
    const std::string changed = Payload(kPayloadSize, 17);
    std::string republished = PublishOn(nginx, changed);
    ASSERT_EQ(republished.size(), package.size());
    fs::last_write_time(nginx.Root() + "/patch/patch/pk0002.patch",
                        fs::file_time_type::clock::now() + std::chrono::hours(1));
    ConsoleResult next = RunConsole();
    ExpectCompletedWith(next, changed);
}

TEST_F(ResumeTest, ConnectionsCutAtFivePointsStillCompleteInOneRun) {
    NginxServer nginx(Tuned(""));
    const std::string payload = Payload(kPayloadSize, 19);
    std::string package = PublishOn(nginx, payload);
    const std::string cuts = root_.Path() + "/cuts.log";
    ScriptServer proxy(
        KORVUN_CUTTING_PROXY,
        {"--target", nginx.Address(), "--cuts", "5", "--first", std::to_string(package.size() / 10),
         "--last", std::to_string(package.size() * 9 / 10), "--seed", "20261208", "--log", cuts});
    PointAt(proxy.Address());
    WriteLocalVersion(1, "EXTRACT_END");

    ConsoleResult run = RunConsole(120s);
    ExpectCompletedWith(run, payload);
    std::string cutLog = ReadFileBytes(cuts);
    EXPECT_EQ(std::count(cutLog.begin(), cutLog.end(), '\n'), 5) << cutLog;
    EXPECT_NE(run.out.find("Retrying the download (1/3)"), std::string::npos) << run.out;
    nginx.CountRequests("pk0002.patch", 8);
    EXPECT_LE(nginx.BodyBytesSent("pk0002.patch"), package.size() * 12 / 10);
}

TEST_F(ResumeTest, ADownloadThatKeepsFailingMovesToTheNextServerAndResumesThere) {
    NginxServer first(Tuned("")), second(Tuned(""));
    const std::string payload = Payload(kPayloadSize, 23);
    std::string package = PublishOn(first, payload);
    // A mirror copied with its times: nginx names the files there by the same validators.
    for (const char* file : {"patch/UpdateVersion.ini", "patch/patch/pk0002.patch"}) {
        second.WriteFile(file, ReadFileBytes(first.Root() + "/" + file));
        fs::last_write_time(second.Root() + "/" + file,
                            fs::last_write_time(first.Root() + "/" + file));
    }
    // The first server goes down halfway through the package, for good.
    const std::string half = std::to_string(package.size() / 2);
    ScriptServer proxy(KORVUN_CUTTING_PROXY, {"--target", first.Address(), "--cuts", "1", "--first",
                                              half, "--last", half, "--exit-after-cuts"});
    PointAt(proxy.Address() + " " + second.Address());
    WriteLocalVersion(1, "EXTRACT_END");

    ConsoleResult run = RunConsole(120s);
    ExpectCompletedWith(run, payload);
    EXPECT_NE(run.out.find("Retrying the download (3/3)"), std::string::npos) << run.out;
    ASSERT_GE(second.CountRequests("pk0002.patch", 1), 1u);
    std::string last;
    for (const std::string& line : second.AccessLog()) {
        if (line.find("pk0002.patch") != std::string::npos) last = line;
    }
    EXPECT_EQ(last.find("GET /patch/patch/pk0002.patch 206 "), 0u) << last;
    EXPECT_LE(first.BodyBytesSent("pk0002.patch") + second.BodyBytesSent("pk0002.patch"),
              package.size() * 11 / 10);
}

}  // namespace
}  // namespace korvun::test
