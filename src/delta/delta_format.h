// The delta package pkNNNN.delta: what rebuilds package NNNN from the files a client at the
// version before it has. All numbers little-endian:
//
//   "KVDELTA1"
//   u32 entry count, u32 segment count, u32 central directory bytes
//   the full package's ZIP central directory, verbatim (names, times, attributes, CRC-32)
//   per entry, in the directory's order: u64 size, 32-byte SHA-256, u32 segment count
//   per segment, entry after entry: u8 base kind, u64 output bytes, u64 payload bytes,
//       and unless the kind is 0: u64 base size, 32-byte base SHA-256, u16 name bytes, name
//   the payloads, segment after segment: each one zstd frame
//
// An entry's content is its segments' output one after another. A segment of kind 0 is a
// frame of the bytes themselves; kind 1 (a loose file, '/'-separated path below the game
// directory) and kind 2 (an entry of the data archive, '\'-separated path) are frames
// compressed with the base's whole content as their prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sha256.h"

namespace korvun::delta {

enum class BaseKind : uint8_t { None = 0, LooseFile = 1, ArchiveEntry = 2 };

struct Segment {
    BaseKind base = BaseKind::None;
    std::string baseName;
    uint64_t baseSize = 0;
    Sha256Digest baseSha256{};
    uint64_t outputSize = 0;
    uint64_t payloadSize = 0;
    uint64_t payloadOffset = 0;  // from the start of the delta file; set by the parser
};

struct Entry {
    uint64_t size = 0;
    Sha256Digest sha256{};
    uint32_t firstSegment = 0;  // set by the parser
    uint32_t segmentCount = 0;
};

struct DeltaPackage {
    std::string centralDirectory;
    std::vector<Entry> entries;
    std::vector<Segment> segments;
};

// "pk%.4u.delta": the delta beside package number's "pk%.4u.patch".
std::string DeltaFileName(uint32_t number);

// Base names longer than this are not written; the reader refuses them.
constexpr size_t kMaxBaseNameBytes = 4096;

// Everything before the payloads.
std::string FormatDeltaHeader(const DeltaPackage& package);

// Reads and checks the header of a delta file of fileSize bytes whose first bytes are data:
// every count, size and offset must fit the file, each entry's segments must add up to its
// size, and the payloads must end where the file does. False with error.
bool ParseDeltaPackage(const uint8_t* data, size_t fileSize, DeltaPackage& package,
                       std::string& error);

}  // namespace korvun::delta
