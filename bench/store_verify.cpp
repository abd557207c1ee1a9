// Verify benchmark: `korvun-updater-console --verify`'s check of a client against its content
// manifest, against `sha256sum` over the same files (goal: at least 90 % of its speed). The
// client: large and small loose files and a data archive of many small entries and some large
// ones, SIZE MiB in all (default 1024; 2048 is the figure the goal names, where the machine has
// the room). Both run from a warm page cache, best of three, so that hashing is measured.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "platform/file_io.h"
#include "store/content_check.h"
#include "support/archive_writer.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;
using namespace korvun;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Bytes(size_t size, std::mt19937& random) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint32_t word = random();
        std::memcpy(&bytes[i], &word, 4);
    }
    return bytes;
}

Sha256Digest Digest(const std::string& bytes) {
    Sha256Stream stream;
    stream.Update(bytes.data(), bytes.size());
    return stream.Finish();
}

// Writes the client and returns its manifest (parts are not needed to check).
ContentManifest MakeClient(const std::string& dir, uint64_t totalBytes) {
    std::mt19937 random(7);
    ContentManifest manifest;
    manifest.version = 1;
    uint64_t looseBytes = totalBytes / 4, written = 0;
    for (int i = 0; written < looseBytes; ++i) {
        size_t size = i == 0 ? looseBytes / 2 : 256 * 1024 + random() % (1 << 20);
        std::string bytes = Bytes(size, random);
        std::string path = "files/f" + std::to_string(i) + ".bin";
        test::WriteFileBytes(dir + "/" + path, bytes);
        ContentItem item;
        item.path = path;
        item.size = size;
        item.sha256 = Digest(bytes);
        manifest.items.push_back(std::move(item));
        written += size;
    }
    test::RawIndex index;
    FileHandle data = OpenNativeFile(dir + "/data.kaf", OpenMode::WriteCreateTruncate);
    uint64_t offset = 0;
    for (int i = 0; offset < totalBytes - looseBytes; ++i) {
        size_t size = i % 100 == 99 ? 4u << 20 : 2000 + random() % 14000;
        std::string bytes = Bytes(size, random);
        std::string name = "e" + std::to_string(i) + ".dat";
        index.root.files.push_back({name, offset, static_cast<uint32_t>(size), 0, {}});
        bytes.push_back('\0');
        WriteFull(data.Get(), bytes.data(), bytes.size());
        bytes.pop_back();
        ContentItem item;
        item.kind = ContentItem::Kind::ArchiveEntry;
        item.path = name;
        item.size = size;
        item.sha256 = Digest(bytes);
        manifest.items.push_back(std::move(item));
        offset += size + 1;
    }
    data.Close();
    index.fileCount = static_cast<int32_t>(index.root.files.size());
    test::WriteFileBytes(dir + "/data.kah", test::EncodeIndex(index));
    return manifest;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    std::string dir = fs::temp_directory_path() / "korvun-bench-verify";
    fs::remove_all(dir);
    fs::create_directories(dir + "/files");
    ContentManifest manifest = MakeClient(dir, mib << 20);
    std::printf("client: %zu items, %llu MiB\n", manifest.items.size(),
                static_cast<unsigned long long>(mib));

    std::string sha256sum = "cd '" + dir + "' && sha256sum data.kaf files/* > /dev/null";
    double verifyBest = 1e9, sumBest = 1e9;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        if (std::system(sha256sum.c_str()) != 0) return 2;
        sumBest = std::min(sumBest, Seconds(start));
        start = std::chrono::steady_clock::now();
        ContentCheckResult check = CheckClientContent(ClientDirectory(dir), manifest);
        verifyBest = std::min(verifyBest, Seconds(start));
        if (!check.differences.empty()) {
            std::printf("unexpected difference: %s\n", check.differences.front().what.c_str());
            return 2;
        }
    }
    double megabytes = static_cast<double>(mib);
    std::printf("verify:    %.2f s (%.0f MiB/s)\n", verifyBest, megabytes / verifyBest);
    std::printf("sha256sum: %.2f s (%.0f MiB/s)\n", sumBest, megabytes / sumBest);
    std::printf("verify speed / sha256sum speed: %.0f %% (goal >= 90 %%)\n",
                100.0 * sumBest / verifyBest);
    fs::remove_all(dir);
    return sumBest / verifyBest >= 0.9 ? 0 : 1;
}
