#include "delta/delta_format.h"

#include <cstdio>
#include <cstring>

namespace korvun::delta {

namespace {

constexpr char kMagic[8] = {'K', 'V', 'D', 'E', 'L', 'T', 'A', '1'};

template <typename T>
void Put(std::string& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// A bounded cursor over the header; every read past the end fails it for good.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    template <typename T>
    T Get() {
        T value = 0;
        if (!Take(sizeof(T))) return 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<T>(T{data_[at_ - sizeof(T) + i]} << (8 * i));
        return value;
    }
    bool Bytes(void* out, size_t size) {
        if (!Take(size)) return false;
        std::memcpy(out, data_ + at_ - size, size);
        return true;
    }
    bool Text(std::string& out, size_t size) {
        if (!Take(size)) return false;
        out.assign(reinterpret_cast<const char*>(data_ + at_ - size), size);
        return true;
    }
    bool Ok() const { return ok_; }
    size_t Position() const { return at_; }
    size_t Left() const { return size_ - at_; }

  private:
    bool Take(size_t size) {
        if (!ok_ || size > size_ - at_) return ok_ = false;
        at_ += size;
        return true;
    }
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

bool ReadSegment(Reader& in, Segment& segment) {
    auto kind = in.Get<uint8_t>();
    if (kind > static_cast<uint8_t>(BaseKind::ArchiveEntry)) return false;
    segment.base = static_cast<BaseKind>(kind);
    segment.outputSize = in.Get<uint64_t>();
    segment.payloadSize = in.Get<uint64_t>();
    if (segment.base == BaseKind::None) return in.Ok();
    segment.baseSize = in.Get<uint64_t>();
    in.Bytes(segment.baseSha256.data(), segment.baseSha256.size());
    auto nameBytes = in.Get<uint16_t>();
    return in.Ok() && nameBytes != 0 && nameBytes <= kMaxBaseNameBytes &&
           in.Text(segment.baseName, nameBytes);
}

}  // namespace

std::string DeltaFileName(uint32_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "pk%.4u.delta", number);
    return name;
}

std::string FormatDeltaHeader(const DeltaPackage& package) {
    std::string out(kMagic, sizeof kMagic);
    Put(out, static_cast<uint32_t>(package.entries.size()));
    Put(out, static_cast<uint32_t>(package.segments.size()));
    Put(out, static_cast<uint32_t>(package.centralDirectory.size()));
    out += package.centralDirectory;
    for (const Entry& entry : package.entries) {
        Put(out, entry.size);
        out.append(reinterpret_cast<const char*>(entry.sha256.data()), entry.sha256.size());
        Put(out, entry.segmentCount);
    }
    for (const Segment& segment : package.segments) {
        Put(out, static_cast<uint8_t>(segment.base));
        Put(out, segment.outputSize);
        Put(out, segment.payloadSize);
        if (segment.base == BaseKind::None) continue;
        Put(out, segment.baseSize);
        out.append(reinterpret_cast<const char*>(segment.baseSha256.data()),
                   segment.baseSha256.size());
        Put(out, static_cast<uint16_t>(segment.baseName.size()));
        out += segment.baseName;
    }
    return out;
}

bool ParseDeltaPackage(const uint8_t* data, size_t fileSize, DeltaPackage& package,
                       std::string& error) {
    Reader in(data, fileSize);
    char magic[sizeof kMagic];
    if (!in.Bytes(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0) {
        error = "not a delta package";
        return false;
    }
    auto entryCount = in.Get<uint32_t>();
    auto segmentCount = in.Get<uint32_t>();
    auto directoryBytes = in.Get<uint32_t>();
    // Each entry and segment takes at least 17 bytes of header; counts beyond that are lies.
    if (!in.Ok() || entryCount > in.Left() / 17 || segmentCount > in.Left() / 17 ||
        !in.Text(package.centralDirectory, directoryBytes)) {
        error = "the delta package's header is truncated";
        return false;
    }
    package.entries.assign(entryCount, Entry{});
    uint64_t segmentsClaimed = 0;
    for (Entry& entry : package.entries) {
        entry.size = in.Get<uint64_t>();
        in.Bytes(entry.sha256.data(), entry.sha256.size());
        entry.segmentCount = in.Get<uint32_t>();
        entry.firstSegment = static_cast<uint32_t>(segmentsClaimed);
        segmentsClaimed += entry.segmentCount;
    }
    if (!in.Ok() || segmentsClaimed != segmentCount) {
        error = "the delta package's entry table does not match its segments";
        return false;
    }
    package.segments.assign(segmentCount, Segment{});
    for (Segment& segment : package.segments) {
        if (!ReadSegment(in, segment)) {
            error = "the delta package's segment table is damaged";
            return false;
        }
    }
    uint64_t offset = in.Position();
    for (Segment& segment : package.segments) {
        if (segment.payloadSize > fileSize - offset) {
            error = "the delta package is shorter than its payloads";
            return false;
        }
        segment.payloadOffset = offset;
        offset += segment.payloadSize;
    }
    if (offset != fileSize) {
        error = "the delta package holds bytes after its payloads";
        return false;
    }
    for (const Entry& entry : package.entries) {
        uint64_t sum = 0;
        for (uint32_t i = 0; i < entry.segmentCount; ++i) {
            uint64_t output = package.segments[entry.firstSegment + i].outputSize;
            if (output > UINT64_MAX - sum) {
                error = "an entry of the delta package does not add up to its size";
                return false;
            }
            sum += output;
        }
        if (sum != entry.size) {
            error = "an entry of the delta package does not add up to its size";
            return false;
        }
    }
    return true;
}

}  // namespace korvun::delta
