#include "support/test_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace korvun::test {

namespace {

std::string TemporaryBase() {
    const char* base = std::getenv("TMPDIR");
    return base != nullptr && *base != '\0' ? base : "/tmp";
}

}  // namespace

TempDirectory::TempDirectory(const std::string& prefix, Place place) {
    std::string base = TemporaryBase();
    if (place == Place::Memory && ::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + pattern);
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

// With stdio rather than a stream: a test may read while it holds the process's descriptors
// at a limit, where a stream that failed to open is still read from.
std::string ReadFileBytes(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return {};
    std::string bytes;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
    std::fclose(file);
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    fs::path target(path);
    if (target.has_parent_path()) fs::create_directories(target.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace korvun::test
