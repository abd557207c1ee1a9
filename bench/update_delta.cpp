// Delta packages against full packages on real binaries: two versions of Debian's libssl3
// (3.0.20-1~deb12u2 and 3.0.22-1~deb12u2, fetched with `apt-get download` and unpacked with
// `dpkg-deb -x`) are release 1 and release 2 of a client, each file both a loose file and an
// entry of the data archive. korvun-tool builds package 2 with its delta and publishes it on
// two local nginx servers, one with the delta and one without; korvun-updater-console updates
// a fresh client at release 1 from each. Printed: the bytes each client downloaded, the time
// of the whole update (best of three) and the console's peak resident size (the kernel's
// accounting of the finished child, as /usr/bin/time -v reports it).
//
//   bench_update_delta [OLD-VERSION NEW-VERSION]     (of libssl3; defaults as above)
//
// Exits 1 when the delta client downloads more than a third of the full client's bytes, its
// update is slower than the full one, or the two clients differ.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/nginx_fixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;
constexpr int kRounds = 3;

struct Run {
    int status = -1;
    double seconds = 0;
    double peakMiB = 0;
};

// Runs args with the given environment (the caller's when empty), output to /dev/null.
Run Spawn(std::vector<std::string> args, std::vector<std::string> env = {}) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(),
                     env.empty() ? environ : envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
    return run;
}

bool Tool(const std::vector<std::string>& args) {
    std::vector<std::string> all = {KORVUN_TOOL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return Spawn(all).status == 0;
}

// libssl3 at version unpacked into dir/files; a release tree made of it in dir/tree.
bool MakeRelease(const std::string& work, const std::string& version, const std::string& name) {
    std::string dir = work + "/" + name;
    fs::create_directories(dir);
    if (Spawn({"sh", "-c",
               "cd '" + dir + "' && apt-get download -q libssl3=" + version +
                   " && dpkg-deb -x libssl3_*.deb files"})
            .status != 0) {
        std::fprintf(stderr, "cannot fetch libssl3=%s with apt-get download\n", version.c_str());
        return false;
    }
    std::string tree = dir + "/tree";
    fs::copy(dir + "/files", tree, fs::copy_options::recursive);
    return Tool({"archive", "pack", dir + "/files", tree + "/data.kah"});
}

bool PublishRelease(const korvun::test::NginxServer& server, const std::string& packages) {
    return Tool({"release", "init", server.Root()}) &&
           Tool({"release", "add", server.Root(), packages + "/pk0002.patch"});
}

Run UpdateClient(const std::string& work, const std::string& tree,
                 const korvun::test::NginxServer& server, const std::string& game) {
    fs::remove_all(game);
    fs::copy(tree, game, fs::copy_options::recursive);
    korvun::test::WriteFileBytes(game + "/Version.ini",
                                 "[Version]\r\nCheckVersion=3\r\nCurrentVersion=1\r\n");
    korvun::test::WriteFileBytes(game + "/CONFIG.ini", "[LOGIN]\r\nTEST_IP=GERMANY\r\n");
    korvun::test::WriteFileBytes(game + "/UpdaterURL.txt", server.Address() + "\r\n");
    return Spawn({KORVUN_CONSOLE_PATH, "-C", game},
                 {"WINEPREFIX=" + work + "/wine", "XDG_RUNTIME_DIR=" + work + "/run",
                  "PATH=/usr/bin:/bin", "no_proxy=127.0.0.1"});
}

}  // namespace

int main(int argc, char** argv) {
    std::string oldVersion = argc > 2 ? argv[1] : "3.0.20-1~deb12u2";
    std::string newVersion = argc > 2 ? argv[2] : "3.0.22-1~deb12u2";
    korvun::test::TempDirectory work("korvun-bench-delta");
    fs::create_directories(work.Path() + "/wine/drive_c/windows/system32");
    korvun::test::WriteFileBytes(work.Path() + "/wine/drive_c/windows/system32/d3d9.dll", "MZ");
    fs::create_directories(work.Path() + "/run");
    fs::permissions(work.Path() + "/run", fs::perms::owner_all);
    if (!MakeRelease(work.Path(), oldVersion, "old") ||
        !MakeRelease(work.Path(), newVersion, "new")) {
        return 2;
    }
    std::string packages = work.Path() + "/packages";
    std::string fullOnly = work.Path() + "/full-only";
    fs::create_directories(fullOnly);
    auto buildStart = std::chrono::steady_clock::now();
    if (!Tool({"package", "build", "--from", work.Path() + "/old/tree", "--to",
               work.Path() + "/new/tree", "--number", "2", "--delta", packages}) ||
        !fs::exists(packages + "/pk0002.delta")) {
        std::fprintf(stderr, "package build --delta wrote no delta package\n");
        return 2;
    }
    double buildSeconds = Seconds(std::chrono::steady_clock::now() - buildStart).count();
    fs::copy_file(packages + "/pk0002.patch", fullOnly + "/pk0002.patch");
    korvun::test::NginxServer full, delta;
    if (!PublishRelease(full, fullOnly) || !PublishRelease(delta, packages)) return 2;

    std::vector<double> fullTimes, deltaTimes;
    double fullPeak = 0, deltaPeak = 0;
    std::string oldTree = work.Path() + "/old/tree";
    for (int round = 0; round < kRounds; ++round) {
        Run a = UpdateClient(work.Path(), oldTree, full, work.Path() + "/full-client");
        Run b = UpdateClient(work.Path(), oldTree, delta, work.Path() + "/delta-client");
        if (a.status != 0 || b.status != 0) {
            std::fprintf(stderr, "an update did not complete (full %d, delta %d)\n", a.status,
                         b.status);
            return 2;
        }
        fullTimes.push_back(a.seconds);
        deltaTimes.push_back(b.seconds);
        fullPeak = std::max(fullPeak, a.peakMiB);
        deltaPeak = std::max(deltaPeak, b.peakMiB);
    }
    bool same = Tool({"client", "verify", work.Path() + "/full-client", "--against",
                      work.Path() + "/new/tree"}) &&
                Tool({"client", "verify", work.Path() + "/delta-client", "--against",
                      work.Path() + "/new/tree"});
    double fullBytes = static_cast<double>(full.BodyBytesSent("pk0002.patch")) / kRounds;
    double deltaBytes = static_cast<double>(delta.BodyBytesSent("pk0002.")) / kRounds;
    double fullBest = *std::min_element(fullTimes.begin(), fullTimes.end());
    double deltaBest = *std::min_element(deltaTimes.begin(), deltaTimes.end());

    std::printf("release pair:      libssl3 %s -> %s (Debian), loose files and archive entries\n",
                oldVersion.c_str(), newVersion.c_str());
    std::printf("package build:     %.1f s with --delta\n", buildSeconds);
    std::printf("downloaded, full:  %.0f bytes per update\n", fullBytes);
    std::printf("downloaded, delta: %.0f bytes per update (%.3f of full)\n", deltaBytes,
                deltaBytes / fullBytes);
    std::printf("update, full:      %.3f s (best of %d), peak RSS %.1f MiB\n", fullBest, kRounds,
                fullPeak);
    std::printf("update, delta:     %.3f s (best of %d), peak RSS %.1f MiB\n", deltaBest, kRounds,
                deltaPeak);
    std::printf("clients verified against release 2: %s\n", same ? "both OK" : "FAILED");
    bool pass = same && deltaBytes * 3 <= fullBytes && deltaBest <= fullBest;
    return pass ? 0 : 1;
}
