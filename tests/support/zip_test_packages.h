// Packages for the package reader's tests, the fuzz corpus and the benchmark: libzip as the
// independent writer of sound packages, and a byte-level builder for packages that no sound
// writer makes (wrong sizes, odd headers, descriptors without signature).
// Header-only so that only the programs that use it need libzip and zlib.
#pragma once

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace korvun::test {

// Deterministic bytes that compress somewhat, like game data.
inline std::string SampleData(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = static_cast<char>((state >> 16) % ((i / 512) % 3 == 0 ? 256 : 16));
    }
    return data;
}

struct LibzipEntry {
    std::string name{};  // '/' separated; a trailing '/' with directory makes a directory entry
    std::string data{};
    bool deflate = true;
    bool directory = false;
    // When set: the version-made-by host byte and the external attributes as stored.
    int host = -1;
    uint32_t externalAttributes = 0;
};

// Writes a package with libzip; names are stored as given.
inline void WriteWithLibzip(const std::string& path, const std::vector<LibzipEntry>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) throw std::runtime_error("zip_open failed");
    for (const LibzipEntry& entry : entries) {
        zip_int64_t index;
        if (entry.directory) {
            index = zip_dir_add(archive, entry.name.c_str(), ZIP_FL_ENC_RAW);
        } else {
            zip_source_t* source =
                zip_source_buffer(archive, entry.data.data(), entry.data.size(), 0);
            index = zip_file_add(archive, entry.name.c_str(), source,
                                 ZIP_FL_OVERWRITE | ZIP_FL_ENC_RAW);
            if (index >= 0) {
                zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                         entry.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
            }
        }
        if (index < 0) throw std::runtime_error("libzip refused " + entry.name);
        if (entry.host >= 0) {
            zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                             static_cast<zip_uint8_t>(entry.host),
                                             entry.externalAttributes);
        }
    }
    if (zip_close(archive) != 0) throw std::runtime_error("zip_close failed");
}

inline std::string RawDeflate(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline uint32_t Crc32Of(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

inline void Put16(std::string& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

inline void Put32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline uint16_t Get16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

inline uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// One entry of a hand-made package.
struct RawEntry {
    std::string name{};  // bytes as stored
    std::string data{};  // uncompressed
    uint16_t method = 8;
    uint16_t flags = 0;
    uint16_t versionMadeBy = 20;
    uint32_t externalAttributes = 0x20;
    uint16_t time = 0x6000;   // 12:00:00
    uint16_t date = 0x5A21;   // 2025-01-01
    bool descriptor = false;  // sizes and CRC after the data (flag bit 3)
    bool descriptorSignature = true;
};

// A hand-made package with the offsets of its records, so a test can change single fields.
struct RawPackage {
    std::string bytes;
    std::vector<size_t> local;    // offset of each local header
    std::vector<size_t> central;  // offset of each central record
    size_t end = 0;               // offset of the end record
};

inline RawPackage BuildRawPackage(const std::vector<RawEntry>& entries,
                                  const std::string& comment = "") {
    RawPackage package;
    std::string centralRecords;
    for (const RawEntry& entry : entries) {
        const std::string stored = entry.method == 8 ? RawDeflate(entry.data) : entry.data;
        const uint32_t crc = Crc32Of(entry.data);
        const uint16_t flags = entry.flags | (entry.descriptor ? 0x0008 : 0);
        const size_t offset = package.bytes.size();
        package.local.push_back(offset);

        std::string local(30, '\0');
        Put32(local, 0, 0x04034B50);
        Put16(local, 4, 20);
        Put16(local, 6, flags);
        Put16(local, 8, entry.method);
        Put16(local, 10, entry.time);
        Put16(local, 12, entry.date);
        if (!entry.descriptor) {
            Put32(local, 14, crc);
            Put32(local, 18, static_cast<uint32_t>(stored.size()));
            Put32(local, 22, static_cast<uint32_t>(entry.data.size()));
        }
        Put16(local, 26, static_cast<uint16_t>(entry.name.size()));
        package.bytes += local + entry.name + stored;
        if (entry.descriptor) {
            std::string descriptor(entry.descriptorSignature ? 16 : 12, '\0');
            size_t at = 0;
            if (entry.descriptorSignature) {
                Put32(descriptor, 0, 0x08074B50);
                at = 4;
            }
            Put32(descriptor, at, crc);
            Put32(descriptor, at + 4, static_cast<uint32_t>(stored.size()));
            Put32(descriptor, at + 8, static_cast<uint32_t>(entry.data.size()));
            package.bytes += descriptor;
        }

        std::string record(46, '\0');
        Put32(record, 0, 0x02014B50);
        Put16(record, 4, entry.versionMadeBy);
        Put16(record, 6, 20);
        Put16(record, 8, flags);
        Put16(record, 10, entry.method);
        Put16(record, 12, entry.time);
        Put16(record, 14, entry.date);
        Put32(record, 16, crc);
        Put32(record, 20, static_cast<uint32_t>(stored.size()));
        Put32(record, 24, static_cast<uint32_t>(entry.data.size()));
        Put16(record, 28, static_cast<uint16_t>(entry.name.size()));
        Put32(record, 38, entry.externalAttributes);
        Put32(record, 42, static_cast<uint32_t>(offset));
        centralRecords += record + entry.name;
    }
    const size_t centralOffset = package.bytes.size();
    for (size_t i = 0, at = centralOffset; i < entries.size(); ++i) {
        package.central.push_back(at);
        at += 46 + entries[i].name.size();
    }
    package.bytes += centralRecords;
    package.end = package.bytes.size();
    std::string end(22, '\0');
    Put32(end, 0, 0x06054B50);
    Put16(end, 8, static_cast<uint16_t>(entries.size()));
    Put16(end, 10, static_cast<uint16_t>(entries.size()));
    Put32(end, 12, static_cast<uint32_t>(centralRecords.size()));
    Put32(end, 16, static_cast<uint32_t>(centralOffset));
    Put16(end, 20, static_cast<uint16_t>(comment.size()));
    package.bytes += end + comment;
    return package;
}

// Offsets of the records of a package written by anyone (no prefix, no comment signature).
inline RawPackage IndexPackage(const std::string& bytes) {
    RawPackage package;
    package.bytes = bytes;
    package.end = bytes.rfind(std::string("PK\x05\x06", 4));
    const uint16_t count = Get16(bytes, package.end + 10);
    size_t at = Get32(bytes, package.end + 16);
    for (uint16_t i = 0; i < count; ++i) {
        package.central.push_back(at);
        package.local.push_back(Get32(bytes, at + 42));
        at += 46 + Get16(bytes, at + 28) + Get16(bytes, at + 30) + Get16(bytes, at + 32);
    }
    return package;
}

// Every regular file below root with its content, keyed by the path relative to root.
inline std::map<std::string, std::string> TreeContents(const std::string& root) {
    std::map<std::string, std::string> tree;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        std::string relative = std::filesystem::relative(item.path(), root).string();
        if (item.is_directory()) {
            tree[relative + "/"] = "";
        } else {
            tree[relative] = ReadFileBytes(item.path().string());
        }
    }
    return tree;
}

}  // namespace korvun::test
