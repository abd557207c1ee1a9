// Extraction speed: ExtractPackage against Info-ZIP's `unzip -o -q` on the same package of
// about 200 MiB (2,000 small deflated files, a few large deflated ones, some stored), each run
// in a child process of this one. Prints both times, the ratio and our peak RSS. Then the same
// for two packages of scale: 20,000 one-byte files in one folder, and one name 2,000 folders
// deep.
//
//   bench_zip_extract [runs]          (default 3 runs each; the best run counts)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/recording_progress.h"
#include "support/zip_test_packages.h"
#include "zip/extract_package.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

Run Spawn(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    Run run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror("posix_spawnp");
        std::exit(1);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxRssKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

void WriteFile(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    korvun::test::WriteFileBytes(path.string(), data);
}

// The package's files on disk first, then added by libzip straight from them.
void BuildPackage(const fs::path& work, const std::string& package) {
    const fs::path source = work / "src";
    struct Item {
        std::string name;
        bool deflate;
    };
    std::vector<Item> items;
    for (int i = 0; i < 2000; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Data/Set%02d/file%04d.dat", i % 20, i);
        const size_t size = 1024 + (static_cast<size_t>(i) * 7919) % (40 * 1024);
        WriteFile(source / name, korvun::test::SampleData(size, static_cast<uint32_t>(i)));
        items.push_back({name, true});
    }
    for (int i = 0; i < 4; ++i) {
        const std::string name = "Big/large" + std::to_string(i) + ".bin";
        WriteFile(source / name, korvun::test::SampleData(30u << 20, 10000u + i));
        items.push_back({name, true});
    }
    for (int i = 0; i < 4; ++i) {
        const std::string name = "Media/stored" + std::to_string(i) + ".ogg";
        WriteFile(source / name, korvun::test::SampleData(10u << 20, 20000u + i));
        items.push_back({name, false});
    }
    int error = 0;
    zip_t* archive = zip_open(package.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) std::exit(1);
    for (const Item& item : items) {
        zip_source_t* file = zip_source_file(archive, (source / item.name).c_str(), 0, -1);
        zip_int64_t index = zip_file_add(archive, item.name.c_str(), file, ZIP_FL_OVERWRITE);
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                 item.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    }
    if (zip_close(archive) != 0) std::exit(1);
    fs::remove_all(source);
}

uint64_t TreeBytes(const fs::path& root) {
    uint64_t total = 0;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.is_regular_file()) total += item.file_size();
    }
    return total;
}

// The peak resident set of this process image. Taken by the child itself: the rusage of a
// spawned child also counts the memory of the process image it replaced, this one's parent.
long PeakRssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int ExtractMode(const std::string& package, const std::string& destination,
                const std::string& report) {
    korvun::test::RecordingProgress progress;
    int status = 1;
    try {
        status =
            korvun::ExtractPackage(package, destination, progress) == korvun::ExtractResult::Done
                ? 0
                : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "extraction raised: %s\n", e.what());
    }
    korvun::test::WriteFileBytes(report, std::to_string(PeakRssKiB()));
    return status;
}

// A package of many small new files in one folder, or of one name many folders deep: the
// case-insensitive lookups of the extraction must stay constant per name.
void BuildScalePackage(const std::string& package, bool crowded) {
    std::vector<korvun::test::LibzipEntry> entries;
    if (crowded) {
        for (int i = 0; i < 20000; ++i) {
            entries.push_back({"crowd/f" + std::to_string(i) + ".txt", std::string(1, 'x')});
        }
    } else {
        std::string deep;
        for (int i = 0; i < 2000; ++i) deep += "a/";
        entries.push_back({deep + "x.txt", "deep\n"});
    }
    korvun::test::WriteWithLibzip(package, entries);
}

struct Comparison {
    Run ours, theirs;
    uint64_t ourBytes = 0, theirBytes = 0;
};

// The best of runs extractions by each side, after one round that warms the page cache.
bool Compare(const fs::path& work, const std::string& package, int runs, Comparison& result) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const fs::path ours = work / "ours", theirs = work / "theirs";
    result.ours.seconds = result.theirs.seconds = 1e9;
    for (int i = 0; i < runs + 1; ++i) {
        fs::remove_all(theirs);
        fs::remove_all(ours);
        fs::create_directories(ours);
        Run unzip = Spawn({"unzip", "-o", "-q", package, "-d", theirs.string()});
        const std::string report = (work / "rss").string();
        Run extract = Spawn({self, "--extract", package, ours.string(), report});
        extract.maxRssKiB = std::atol(korvun::test::ReadFileBytes(report).c_str());
        if (unzip.status != 0 || extract.status != 0) {
            std::fprintf(stderr, "a run failed: unzip %d, ours %d\n", unzip.status, extract.status);
            return false;
        }
        if (i == 0) continue;
        if (unzip.seconds < result.theirs.seconds) result.theirs = unzip;
        if (extract.seconds < result.ours.seconds) result.ours = extract;
        result.ours.maxRssKiB = std::max(result.ours.maxRssKiB, extract.maxRssKiB);
    }
    result.ourBytes = TreeBytes(ours);
    result.theirBytes = TreeBytes(theirs);
    fs::remove_all(theirs);
    fs::remove_all(ours);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--extract") {
        return ExtractMode(argv[2], argv[3], argv[4]);
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    std::string pattern = "/tmp/korvun-bench-zip-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    const fs::path work = pattern;
    const std::string package = (work / "pk0001.patch").string();
    std::printf("building the package in %s ...\n", work.c_str());
    BuildPackage(work, package);
    std::printf("package: %.1f MiB compressed\n", fs::file_size(package) / 1048576.0);

    Comparison large;
    if (!Compare(work, package, runs, large)) {
        fs::remove_all(work);
        return 1;
    }
    std::printf("extracted: %.1f MiB (unzip %.1f MiB)\n", large.ourBytes / 1048576.0,
                large.theirBytes / 1048576.0);
    std::printf("unzip -o -q:    %.3f s\n", large.theirs.seconds);
    std::printf("ExtractPackage: %.3f s\n", large.ours.seconds);
    std::printf("ratio:          %.2fx (limit 1.25x)\n", large.ours.seconds / large.theirs.seconds);
    std::printf("our peak RSS:   %.1f MiB (limit 32 MiB)\n", large.ours.maxRssKiB / 1024.0);
    bool same = large.ourBytes == large.theirBytes;

    for (bool crowded : {true, false}) {
        const std::string scale = (work / "scale.patch").string();
        BuildScalePackage(scale, crowded);
        Comparison result;
        if (!Compare(work, scale, runs, result)) {
            fs::remove_all(work);
            return 1;
        }
        std::printf("%s: unzip %.3f s, ExtractPackage %.3f s, ratio %.2fx (limit 2x)\n",
                    crowded ? "20,000 new files in one folder" : "one name 2,000 folders deep",
                    result.theirs.seconds, result.ours.seconds,
                    result.ours.seconds / result.theirs.seconds);
        same = same && result.ourBytes == result.theirBytes;
    }
    fs::remove_all(work);
    return same ? 0 : 1;
}
