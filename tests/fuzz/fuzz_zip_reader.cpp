// Fuzzes the package reader: the directory of an arbitrary file, then every entry read through
// ReadEntry and closed, without writing anything. Damaged packages must raise CZipException or
// CFileException, never crash, hang or allocate without bound.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zip/zip_exception.h"
#include "zip/zip_reader.h"

namespace {

std::string& PackagePath() {
    static std::string path = [] {
        char pattern[] = "/tmp/fuzz_zip_reader-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        std::atexit([] { unlink(PackagePath().c_str()); });
        return std::string(pattern);
    }();
    return path;
}

void ReadEveryEntry(korvun::CZipReader& reader) {
    std::vector<unsigned char> buffer(65535);
    for (int i = 0; i < reader.GetEntryCount(); ++i) {
        const auto index = static_cast<uint16_t>(i);
        korvun::CZipEntry entry;
        reader.GetEntryInfo(entry, index);
        if (reader.IsDirectoryEntry(index) || !reader.OpenEntry(index)) continue;
        uint64_t produced = 0;
        uint32_t n;
        do {
            n = reader.ReadEntry(buffer.data(), static_cast<uint32_t>(buffer.size()));
            produced += n;
        } while (n == buffer.size());
        // Whatever the data hold, no entry yields more than the directory declares.
        if (produced > entry.uncompressedSize) std::abort();
        reader.CloseEntry(nullptr, false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(PackagePath().c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    korvun::CZipReader reader;
    reader.SetBufferSizes(65535, 16384, 32768);
    try {
        reader.OpenPackage(PackagePath());
        ReadEveryEntry(reader);
        reader.ClosePackage();
    } catch (const korvun::CZipException& e) {
        if (e.Cause() < 1 || e.Cause() > 18) std::abort();
    } catch (const korvun::CFileException&) {
        // a volume of a split package that is not there
    }
    return 0;
}
