// Download throughput: a package from a local nginx through OpenDownload and the
// ReceiveBlock loop, against `curl -s -o FILE URL` for the same file in the same run; once
// as a client without a release key, once checking the package against its signed size and
// SHA-256 as the bytes arrive.
//
//   bench_update_download [MiB]     (default 256)
//
// Prints the best of three runs of each and the ratios ours/curl; exits 1 when the plain
// download is above 1.5 or the checked one above 1.15.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "support/nginx_fixture.h"
#include "support/recording_window.h"
#include "update/update_thread.h"

extern char** environ;

namespace {

using Seconds = std::chrono::duration<double>;
constexpr double kLimit = 1.5;
constexpr double kVerifiedLimit = 1.15;
constexpr int kRounds = 3;

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
    uint64_t size = mebibytes << 20;

    korvun::test::NginxServer nginx;
    nginx.WriteSizedFile("patch/patch/pk0001.patch", size);
    korvun::test::GameDirectory game;
    game.PointAt(nginx.Address());
    korvun::test::RecordingWindow window;
    korvun::CUpdateThread worker(window, {korvun::ChooseServerAddress()});
    // The patch phase is when the window does the most per block (byte counter, speed).
    worker.Flags().patchPhase = true;

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
    return ratio <= kLimit && verifiedRatio <= kVerifiedLimit ? 0 : 1;
}
