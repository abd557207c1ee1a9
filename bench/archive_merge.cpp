// Merge benchmark: content copy against `cat update.kaf >> data.kaf`, the same update replacing
// every file of an archive (the journal saves the old bytes it overwrites), scaling of a large
// merge against one ten times smaller, index load/save time, and the merge's peak memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "archive/game_archive.h"
#include "platform/file_io.h"
#include "support/archive_writer.h"

namespace {

namespace fs = std::filesystem;
using korvun::GameArchive;
using korvun::test::ArchiveBuilder;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool Merge() {
    korvun::NoStateMarkers markers;
    GameArchive archive(korvun::ClientDirectory("."), markers);
    return archive.MergeUpdateArchive().Ok();
}

// A merge that leaves the number of bytes its journal saved in journaled.txt.
bool MergeCountingJournal() {
    korvun::NoStateMarkers markers;
    GameArchive archive(korvun::ClientDirectory("."), markers);
    if (!archive.MergeUpdateArchive().Ok()) return false;
    korvun::test::WriteFileBytes("journaled.txt", std::to_string(archive.JournaledBytes()));
    return true;
}

struct ChildFigures {
    double wall = 0, cpu = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Runs body in a child process, so that its time and peak resident size are its own (and, for
// a shell, include the programs it waited for).
template <typename Body>
ChildFigures RunInChild(Body body) {
    ChildFigures figures;
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) _exit(body() ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    figures.wall = Seconds(start);
    figures.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                  usage.ru_stime.tv_usec / 1e6;
    figures.peakKiB = usage.ru_maxrss;
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return figures;
}

// The reference that also flushes what it wrote: update.kaf appended to data.kaf, then synced.
ChildFigures CatAndSync() {
    return RunInChild([] {
        execl("/bin/sh", "sh", "-c", "cat update.kaf >> data.kaf && sync data.kaf",
              static_cast<char*>(nullptr));
        return false;
    });
}

// Writes an archive of 4 x 48 MiB + 16384 x 4 KiB (update.kah and update.kaf unless named
// otherwise) with content streamed through a small buffer.
void WriteContentUpdate(const char* indexPath = "update.kah", const char* dataPath = "update.kaf",
                        unsigned seed = 1) {
    ArchiveBuilder update;  // index only; the data is written below
    std::vector<std::pair<std::string, uint32_t>> files;
    for (int i = 0; i < 4; ++i) files.emplace_back("big\\large" + std::to_string(i), 48u << 20);
    // Stored in tree order, as a packer writes them.
    for (int i = 0; i < 16384; ++i) {
        files.emplace_back("small\\d" + std::to_string(i / 256) + "\\s" + std::to_string(i), 4096);
    }
    std::string chunk(1 << 20, '\0');
    std::mt19937 rng(seed);
    for (char& c : chunk) c = static_cast<char>(rng());
    FILE* data = std::fopen(dataPath, "wb");
    uint64_t offset = 0;
    for (auto& [path, size] : files) {
        auto& record = update.Add(path, "");
        record.offset = offset;
        record.size = size;
        for (uint32_t left = size; left > 0;) {
            uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(chunk.size()));
            std::fwrite(chunk.data(), 1, n, data);
            left -= n;
        }
        std::fputc(0, data);
        offset += uint64_t{size} + 1;
    }
    std::fclose(data);
    korvun::test::WriteFileBytes(indexPath, korvun::test::EncodeIndex(update.index));
}

struct ContentFigures {
    double merge = 1e9, cat = 1e9, catSync = 1e9, mergeCpu = 1e9, catCpu = 1e9;
    long peakKiB = 0;
};

bool ContentBenchmark(ContentFigures& figures) {
    ArchiveBuilder game;
    for (int i = 0; i < 100; ++i) game.Add("old\\f" + std::to_string(i), std::string(1000, 'o'));
    korvun::test::WriteFileBytes("data.kah", korvun::test::EncodeIndex(game.index));
    korvun::test::WriteFileBytes("data.kaf", game.data);
    WriteContentUpdate();
    std::string gameIndex = korvun::test::ReadFileBytes("data.kah");
    fs::create_hard_link("update.kaf", "keep.kaf");
    fs::create_hard_link("update.kah", "keep.kah");
    for (int round = 0; round < 5; ++round) {
        ChildFigures cat = RunInChild([] {
            execl("/bin/sh", "sh", "-c", "cat update.kaf >> data.kaf", static_cast<char*>(nullptr));
            return false;
        });
        if (!cat.ok) return false;
        figures.cat = std::min(figures.cat, cat.wall);
        figures.catCpu = std::min(figures.catCpu, cat.cpu);
        fs::resize_file("data.kaf", game.data.size());

        // For information: the reference when it also flushes what it wrote, as the merge
        // does before the new index may point at it.
        ChildFigures catSync = CatAndSync();
        if (!catSync.ok) return false;
        figures.catSync = std::min(figures.catSync, catSync.wall);
        fs::resize_file("data.kaf", game.data.size());

        ChildFigures merge = RunInChild(Merge);
        if (!merge.ok) return false;
        figures.merge = std::min(figures.merge, merge.wall);
        figures.mergeCpu = std::min(figures.mergeCpu, merge.cpu);
        figures.peakKiB = std::max(figures.peakKiB, merge.peakKiB);
        fs::resize_file("data.kaf", game.data.size());
        korvun::test::WriteFileBytes("data.kah", gameIndex);
        fs::create_hard_link("keep.kaf", "update.kaf");
        fs::create_hard_link("keep.kah", "update.kah");
    }
    return true;
}

void SyncPath(const char* path) {
    korvun::FileHandle file = korvun::OpenFile(path, korvun::OpenMode::ReadWrite);
    korvun::SyncFile(file.Get());
}

struct ReplaceFigures {
    double merge = 1e9, catSync = 1e9;
    uint64_t journaled = 0, merged = 0;
};

// The content update over an archive of the same files with other content: every file goes
// into the region of the one it replaces, which the committed index still uses, so the
// journal must save about one old byte per byte merged before the copies begin.
bool ReplaceBenchmark(ReplaceFigures& figures) {
    WriteContentUpdate("base.kah", "base.kaf", 2);
    WriteContentUpdate();
    fs::create_hard_link("update.kaf", "keep.kaf");
    fs::create_hard_link("update.kah", "keep.kah");
    figures.merged = fs::file_size("update.kaf");
    uint64_t baseSize = fs::file_size("base.kaf");
    for (int round = 0; round < 5; ++round) {
        // The old archive rewritten and on disk, so that no flush in the timed part pays
        // for the restore.
        fs::copy_file("base.kaf", "data.kaf", fs::copy_options::overwrite_existing);
        fs::copy_file("base.kah", "data.kah", fs::copy_options::overwrite_existing);
        SyncPath("data.kaf");
        ChildFigures catSync = CatAndSync();
        if (!catSync.ok) return false;
        figures.catSync = std::min(figures.catSync, catSync.wall);
        fs::resize_file("data.kaf", baseSize);
        SyncPath("data.kaf");

        ChildFigures merge = RunInChild(MergeCountingJournal);
        if (!merge.ok) return false;
        figures.merge = std::min(figures.merge, merge.wall);
        figures.journaled = std::stoull(korvun::test::ReadFileBytes("journaled.txt"));
        fs::create_hard_link("keep.kaf", "update.kaf");
        fs::create_hard_link("keep.kah", "update.kah");
    }
    return true;
}

// An archive of `entries` small files, a tenth of them in one folder, and an update that
// replaces a tenth of them (every file of the large folder among them).
void WriteScaleArchives(int entries) {
    std::mt19937 rng(7);
    ArchiveBuilder game, update;
    int crowd = entries / 20;
    int perFolder = 1000;
    for (int i = 0; i < entries; ++i) {
        // Appended, not "f" + std::string: GCC 12 warns falsely (-Wrestrict) about that.
        std::string path = i < crowd ? std::string("crowd\\c").append(std::to_string(i))
                                     : std::string("f")
                                           .append(std::to_string(i / perFolder))
                                           .append("\\e")
                                           .append(std::to_string(i))
                                           .append(".dds");
        game.Add(path, std::string(rng() % 64, 'g'));
        if (i < crowd || (i % 19 == 0 && update.index.fileCount < entries / 10)) {
            std::string upper = path;
            for (char& c : upper) c = static_cast<char>(std::toupper(c));
            update.Add(upper, std::string(rng() % 64, 'u'));
        }
    }
    for (int i = 0; i < 600; ++i) {
        uint32_t size = rng() % 40;
        game.index.freeList.push_back({"gap", game.AddGap(size + 1), size, 0, {}});
    }
    korvun::test::WriteFileBytes("data.kah", korvun::test::EncodeIndex(game.index));
    korvun::test::WriteFileBytes("data.kaf", game.data);
    korvun::test::WriteFileBytes("update.kah", korvun::test::EncodeIndex(update.index));
    korvun::test::WriteFileBytes("update.kaf", update.data);
    std::printf("  %d entries, %d replaced\n", game.index.fileCount, update.index.fileCount);
}

struct ScaleFigures {
    double small = 0, large = 0, load = 1e9, write = 1e9, durableSave = 1e9;
};

// Writes the loaded index to a new file at path the way a save encodes and writes it, without
// the flush to disk and the rename that make the save durable.
bool WriteIndexFile(const korvun::ArchiveIndex& index, const char* path) {
    korvun::FileHandle file = korvun::OpenFile(path, korvun::OpenMode::WriteCreateTruncate);
    if (!file.IsOpen()) return false;
    korvun::WritebackThread writeback;
    korvun::IndexWriter out(file.Get(), &writeback);
    GameArchive::WriteIndex(out, index);
    bool written = out.Flush();
    writeback.Finish();
    return file.Close() && written;
}

// Loads index.kah, writes it anew and saves it, keeping each one's best time.
bool LoadAndSaveIndex(ScaleFigures& figures) {
    auto start = std::chrono::steady_clock::now();
    std::optional<korvun::ArchiveIndex> index = GameArchive::ReadIndexFile("index.kah", nullptr);
    if (!index) return false;
    figures.load = std::min(figures.load, Seconds(start));
    // A save writes a new temporary file, not over an old one.
    fs::remove("copy.kah");
    start = std::chrono::steady_clock::now();
    if (!WriteIndexFile(*index, "copy.kah")) return false;
    figures.write = std::min(figures.write, Seconds(start));
    start = std::chrono::steady_clock::now();
    bool saved = GameArchive::SaveIndexFile("copy.kah", *index);
    figures.durableSave = std::min(figures.durableSave, Seconds(start));
    return saved;
}

// The best of seven merges of the archives just written (rewritten before each round): the
// small merge takes about 5 ms, so single runs are at the mercy of the machine. Between the
// rounds, `between` runs, so that a disturbed stretch of the run touches both alike.
template <typename Between>
double BestMerge(Between between) {
    const char* names[] = {"data.kah", "data.kaf", "update.kah", "update.kaf"};
    std::vector<std::string> files;
    for (const char* name : names) files.push_back(korvun::test::ReadFileBytes(name));
    double best = 1e9;
    for (int round = 0; round < 7; ++round) {
        if (!between()) return -1;
        for (size_t i = 0; i < files.size(); ++i) korvun::test::WriteFileBytes(names[i], files[i]);
        auto start = std::chrono::steady_clock::now();
        if (!Merge()) return -1;
        best = std::min(best, Seconds(start));
    }
    return best;
}

bool ScaleBenchmark(ScaleFigures& figures) {
    WriteScaleArchives(20000);
    figures.small = BestMerge([] { return true; });

    WriteScaleArchives(200000);
    korvun::test::WriteFileBytes("index.kah", korvun::test::ReadFileBytes("data.kah"));
    // Loads and saves take a few milliseconds each, so two of each per merge.
    figures.large =
        BestMerge([&] { return LoadAndSaveIndex(figures) && LoadAndSaveIndex(figures); });
    return figures.small > 0 && figures.large > 0;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/korvun-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    fs::path previous = fs::current_path();
    fs::current_path(pattern);

    ContentFigures content;
    ScaleFigures scale;
    std::printf("content merge: 256 MiB (4 x 48 MiB + 16384 x 4 KiB), best of 5\n");
    bool ran = ContentBenchmark(content);
    for (const char* name :
         {"data.kah", "data.kaf", "keep.kaf", "keep.kah", "update.kah", "update.kaf", "copy.kah"}) {
        fs::remove(name);
    }
    ReplaceFigures replace;
    std::printf("replacing merge: the same update over an archive of the same files, best of 5\n");
    ran = ran && ReplaceBenchmark(replace);
    for (const char* name : {"data.kah", "data.kaf", "keep.kaf", "keep.kah", "update.kah",
                             "update.kaf", "base.kah", "base.kaf", "journaled.txt"}) {
        fs::remove(name);
    }
    std::printf("scale merge, best of 7:\n");
    ran = ran && ScaleBenchmark(scale);
    fs::current_path(previous);
    fs::remove_all(pattern);
    if (!ran) {
        std::printf("benchmark could not run\n");
        return 2;
    }

    double contentRatio = content.merge / content.cat;
    double scaleRatio = scale.large / scale.small;
    double peakMiB = content.peakKiB / 1024.0;
    double syncRatio = content.merge / content.catSync;
    // The journal reads and writes its bytes as cat does and flushes them before the copies,
    // so each byte journaled per byte merged costs about one more cat + sync.
    double journaledPerByte = static_cast<double>(replace.journaled) / replace.merged;
    double floor = (1 + journaledPerByte) * replace.catSync;
    double floorRatio = replace.merge / floor;
    bool ok = contentRatio <= 1.5 && syncRatio <= 1.0 && floorRatio <= 1.1 && scaleRatio <= 15 &&
              scale.load < scale.large / 10 && scale.write < scale.large / 10 && peakMiB < 64;
    std::printf("  merge %.3f s, cat %.3f s, ratio %.2f (limit 1.5)\n", content.merge, content.cat,
                contentRatio);
    std::printf("  cat followed by sync of data.kaf %.3f s, ratio %.2f (limit 1.0)\n",
                content.catSync, syncRatio);
    std::printf("  processor time: merge %.3f s, cat %.3f s, ratio %.2f\n", content.mergeCpu,
                content.catCpu, content.mergeCpu / content.catCpu);
    std::printf("  peak RSS of the merge %.1f MiB (limit 64)\n", peakMiB);
    std::printf("  replacing: merge %.3f s, cat followed by sync %.3f s, ratio %.2f\n",
                replace.merge, replace.catSync, replace.merge / replace.catSync);
    std::printf(
        "  replacing: journaled %.1f MiB of %.1f MiB merged, %.3f bytes per byte; floor "
        "(1 + %.3f) x cat and sync = %.3f s; merge against the floor %.2f (limit 1.1)\n",
        replace.journaled / 1048576.0, replace.merged / 1048576.0, journaledPerByte,
        journaledPerByte, floor, floorRatio);
    std::printf("  200k merge %.3f s, 20k merge %.3f s, ratio %.2f (limit 15)\n", scale.large,
                scale.small, scaleRatio);
    std::printf("  200k index load %.4f s (%.3f of the merge), write %.4f s (%.3f) (limit 0.1)\n",
                scale.load, scale.load / scale.large, scale.write, scale.write / scale.large);
    std::printf(
        "  200k index durable save (write, flush, rename, flush of the folder) %.4f s (%.3f) "
        "(for information)\n",
        scale.durableSave, scale.durableSave / scale.large);
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
