// Download throughput: a package from a local nginx through OpenDownload and the
// ReceiveBlock loop, against `curl -s -o FILE URL` for the same file in the same run; once
// as a client without a release key, once checking the package against its signed size and
// SHA-256 as the bytes arrive. Then the memory: korvun-updater-console runs a whole update
// (download, extraction) with a package of RSS-MiB from the same nginx, and its peak resident
// size is taken from the kernel's accounting of the finished child (getrusage).
//
//   bench_update_download [MiB [RSS-MiB]]     (defaults 256 and 800; RSS-MiB 0 skips it)
//
// Prints the best of three runs of each, the ratios ours/curl and the peak RSS; exits 1 when
// a download is above 1.15 or the peak RSS reaches 32 MiB.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/directories.h"
#include "platform/file_io.h"
#include "support/nginx_fixture.h"
#include "support/recording_window.h"
#include "update/update_thread.h"

extern char** environ;

namespace {

using Seconds = std::chrono::duration<double>;
constexpr double kLimit = 1.15;
constexpr double kVerifiedLimit = 1.15;
constexpr double kRssLimitMiB = 32;
constexpr int kRounds = 3;

// A file of size bytes that no compressor shrinks, written in chunks.
void WriteRandomFile(const std::string& path, uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    uint64_t state = 88172645463325252ull;
    for (uint64_t done = 0; done < size; done += chunk.size()) {
        for (char& c : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            c = static_cast<char>(state);
        }
        out.write(chunk.data(),
                  static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), size - done)));
    }
}

// A package with one stored entry, Data/big.bin, holding the bytes of source.
bool WritePackage(const std::string& package, const std::string& source) {
    int error = 0;
    zip_t* archive = zip_open(package.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive) return false;
    zip_source_t* data = zip_source_file(archive, source.c_str(), 0, 0);
    zip_int64_t index = data ? zip_file_add(archive, "Data/big.bin", data, 0) : -1;
    if (index < 0 ||
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0) {
        zip_discard(archive);
        return false;
    }
    return zip_close(archive) == 0;
}

// Peak resident size in MiB of a console updater updating a client at version 1 to version 2
// (one package of the given size) from nginx; negative when the run did not complete.
double MeasureUpdateRss(korvun::test::NginxServer& nginx, uint64_t packageSize) {
    namespace fs = std::filesystem;
    korvun::test::TempDirectory scratch("korvun-bench-rss");
    const std::string game = scratch.Path() + "/game";
    fs::create_directories(game);
    fs::create_directories(scratch.Path() + "/wine/drive_c/windows/system32");
    korvun::test::WriteFileBytes(scratch.Path() + "/wine/drive_c/windows/system32/d3d9.dll", "MZ");
    fs::create_directories(scratch.Path() + "/run");
    fs::permissions(scratch.Path() + "/run", fs::perms::owner_all);

    WriteRandomFile(scratch.Path() + "/big.bin", packageSize);
    if (!WritePackage(nginx.Root() + "/patch/patch/pk0002.patch", scratch.Path() + "/big.bin")) {
        return -1;
    }
    fs::remove(scratch.Path() + "/big.bin");
    nginx.WriteFile("patch/UpdateVersion.ini",
                    "[Version]\r\nCheckVersion=3\r\nUpdaterVersion=1\r\nPatchFileVersion=2\r\n");
    korvun::test::WriteFileBytes(game + "/Version.ini",
                                 "[Version]\r\nCheckVersion=3\r\nCurrentVersion=1\r\n");
    korvun::test::WriteFileBytes(game + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
    korvun::test::WriteFileBytes(game + "/UpdaterURL.txt", nginx.Address() + "\r\n");

    std::vector<std::string> args = {KORVUN_CONSOLE_PATH, "-C", game};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"WINEPREFIX=" + scratch.Path() + "/wine",
                                    "XDG_RUNTIME_DIR=" + scratch.Path() + "/run",
                                    "PATH=/usr/bin:/bin", "no_proxy=127.0.0.1"};
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the console updater did not complete (status %d)\n", status);
        return -1;
    }
    if (!fs::exists(game + "/Data/big.bin") ||
        fs::file_size(game + "/Data/big.bin") != packageSize) {
        std::fprintf(stderr, "the console updater did not extract the package\n");
        return -1;
    }
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

double RunCurl(const std::string& url, const std::string& output) {
    std::vector<std::string> args = {"curl", "-s", "-o", output, url};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start curl\n");
        std::exit(2);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "curl failed\n");
        std::exit(2);
    }
    return seconds;
}

// signed: the package's manifest entry when the download is to be checked against it.
double RunUpdater(korvun::CUpdateThread& worker, uint64_t size,
                  const korvun::ManifestEntry* signedEntry) {
    auto start = std::chrono::steady_clock::now();
    korvun::CUpdateDownload& download = worker.Download();
    if (signedEntry) download.ExpectSignedFile(*signedEntry);
    if (!download.OpenDownload(korvun::PatchUrl(worker.ServerAddress(), 1),
                               korvun::PatchFileName(1))) {
        std::fprintf(stderr, "OpenDownload failed\n");
        std::exit(2);
    }
    int result;
    do {
        result = download.ReceiveBlock();
    } while (result == korvun::CUpdateDownload::kMoreData);
    double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    if (result != korvun::CUpdateDownload::kComplete || download.ReceivedSize() != size) {
        std::fprintf(stderr, "download failed (result %d)\n", result);
        std::exit(2);
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    uint64_t rssMebibytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 800;
    uint64_t size = mebibytes << 20;

    korvun::test::NginxServer nginx;
    nginx.WriteSizedFile("patch/patch/pk0001.patch", size);
    korvun::test::GameDirectory game;
    game.PointAt(nginx.Address());
    korvun::test::RecordingWindow window;
    korvun::ClientDirectory client(korvun::CurrentDirectory());
    korvun::CUpdateThread worker(window, client, {korvun::ChooseServerAddress(client)});
    // The patch phase is when the window does the most per block (byte counter, speed).
    window.SetPatchPhase(true);

    std::string url = nginx.Url("/patch/patch/pk0001.patch");
    std::string curlOutput = game.File("curl.out");
    RunCurl(url, curlOutput);  // warms the page cache on both sides

    std::optional<korvun::FileDigest> digest =
        korvun::DigestFile(nginx.Root() + "/patch/patch/pk0001.patch");
    if (!digest) return 2;
    korvun::ManifestEntry entry{"patch/patch/pk0001.patch", digest->size, digest->sha256};

    std::vector<double> curlTimes, ourTimes, verifiedTimes;
    for (int round = 0; round < kRounds; ++round) {
        korvun::DeleteFile(curlOutput);
        curlTimes.push_back(RunCurl(url, curlOutput));
        korvun::DeleteFile(korvun::PatchFileName(1));
        ourTimes.push_back(RunUpdater(worker, size, nullptr));
        korvun::DeleteFile(korvun::PatchFileName(1));
        verifiedTimes.push_back(RunUpdater(worker, size, &entry));
    }
    double curlBest = *std::min_element(curlTimes.begin(), curlTimes.end());
    double ourBest = *std::min_element(ourTimes.begin(), ourTimes.end());
    double verifiedBest = *std::min_element(verifiedTimes.begin(), verifiedTimes.end());
    double mib = static_cast<double>(size) / (1 << 20);
    double ratio = ourBest / curlBest;
    double verifiedRatio = verifiedBest / curlBest;

    std::printf("package:          %.0f MiB from nginx on 127.0.0.1\n", mib);
    std::printf("curl -s -o:       %.3f s  (%.0f MiB/s)\n", curlBest, mib / curlBest);
    std::printf("OpenDownload+ReceiveBlock: %.3f s  (%.0f MiB/s)\n", ourBest, mib / ourBest);
    std::printf("with SHA-256 check: %.3f s  (%.0f MiB/s)\n", verifiedBest, mib / verifiedBest);
    std::printf("window text calls: %zu\n", window.TextCalls());
    std::printf("ratio (updater / curl): %.2f  (limit %.2f)\n", ratio, kLimit);
    std::printf("ratio (checked updater / curl): %.2f  (limit %.2f)\n", verifiedRatio,
                kVerifiedLimit);
    std::fflush(stdout);
    korvun::DeleteFile(korvun::PatchFileName(1));
    korvun::DeleteFile(curlOutput);

    bool rssWithin = true;
    if (rssMebibytes > 0) {
        double rss = MeasureUpdateRss(nginx, rssMebibytes << 20);
        if (rss < 0) return 2;
        rssWithin = rss < kRssLimitMiB;
        std::printf(
            "console updater, whole update with a %llu MiB package: peak RSS %.1f MiB"
            "  (limit %.0f)\n",
            static_cast<unsigned long long>(rssMebibytes), rss, kRssLimitMiB);
    }
    return ratio <= kLimit && verifiedRatio <= kVerifiedLimit && rssWithin ? 0 : 1;
}
