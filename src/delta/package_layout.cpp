#include "delta/package_layout.h"

#include <algorithm>

#include "platform/file_io.h"
#include "zip/zip_entry.h"

namespace korvun::delta {

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr size_t kCentralFixed = 46;
constexpr size_t kLocalFixed = 30;
constexpr size_t kEndBytes = 22;
constexpr uint64_t kZipLimit = 0xFFFFFFFF;

uint32_t Load(const std::string& text, size_t at, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
        value |= uint32_t{static_cast<uint8_t>(text[at + i])} << (8 * i);
    }
    return value;
}

void Store(std::string& text, size_t at, size_t bytes, uint64_t value) {
    for (size_t i = 0; i < bytes; ++i) text[at + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

bool PackageLayout::Plan(const std::string& directory, std::string& error) {
    entries_.clear();
    records_.clear();
    uint64_t offset = 0;
    for (size_t at = 0; at < directory.size();) {
        if (directory.size() - at < kCentralFixed ||
            Load(directory, at, 4) != kCentralHeaderSignature) {
            error = "the package's directory is damaged";
            return false;
        }
        size_t nameBytes = Load(directory, at + 28, 2);
        size_t recordBytes =
            kCentralFixed + nameBytes + Load(directory, at + 30, 2) + Load(directory, at + 32, 2);
        uint32_t size = Load(directory, at + 24, 4);
        if (recordBytes > directory.size() - at || (Load(directory, at + 8, 2) & kFlagEncrypted) ||
            size == kZipLimit || Load(directory, at + 20, 4) == kZipLimit) {
            error = "the package's directory holds a record this layout cannot store";
            return false;
        }
        Record record;
        record.central = directory.substr(at, recordBytes);
        auto flags = static_cast<uint16_t>(Load(directory, at + 8, 2) & ~kFlagDataDescriptor);
        Store(record.central, 8, 2, flags);
        Store(record.central, 10, 2, 0);  // stored
        Store(record.central, 20, 4, size);
        Store(record.central, 42, 4, offset);
        record.local.assign(kLocalFixed, '\0');
        Store(record.local, 0, 4, kLocalSignature);
        record.local.replace(4, 2, record.central, 6, 2);      // version needed
        record.local.replace(6, 8, record.central, 8, 8);      // flags, method, time, date
        record.local.replace(14, 12, record.central, 16, 12);  // CRC-32 and both sizes
        Store(record.local, 26, 2, nameBytes);
        record.local += directory.substr(at + kCentralFixed, nameBytes);
        record.localOffset = offset;
        LayoutEntry entry;
        entry.name = directory.substr(at + kCentralFixed, nameBytes);
        entry.crc32 = Load(directory, at + 16, 4);
        entry.size = size;
        entry.dataOffset = offset + record.local.size();
        offset = entry.dataOffset + size;
        if (offset > kZipLimit) {
            error = "the rebuilt package would pass 4 GiB";
            return false;
        }
        entries_.push_back(std::move(entry));
        records_.push_back(std::move(record));
        at += recordBytes;
    }
    directoryOffset_ = offset;
    directoryBytes_ = 0;
    for (const Record& record : records_) directoryBytes_ += record.central.size();
    total_ = offset + directoryBytes_ + kEndBytes;
    if (records_.size() > 0xFFFF || total_ > kZipLimit) {
        error = "the rebuilt package would pass the limits of its format";
        return false;
    }
    return true;
}

bool PackageLayout::WriteRecords(int fd) const {
    std::string directory;
    for (const Record& record : records_) {
        if (!WriteAt(fd, record.local.data(), record.local.size(), record.localOffset)) {
            return false;
        }
        directory += record.central;
    }
    std::string end(kEndBytes, '\0');
    Store(end, 0, 4, kEndSignature);
    Store(end, 8, 2, records_.size());
    Store(end, 10, 2, records_.size());
    Store(end, 12, 4, directoryBytes_);
    Store(end, 16, 4, directoryOffset_);
    directory += end;
    return WriteAt(fd, directory.data(), directory.size(), directoryOffset_);
}

bool ReadCentralDirectory(const std::string& path, std::string& directory, std::string& error) {
    FileHandle file = OpenFile(path, OpenMode::ReadOnly);
    std::optional<uint64_t> length = file.IsOpen() ? OpenFileLength(file.Get()) : std::nullopt;
    if (!length || *length < kEndBytes) {
        error = path + " cannot be read as a package";
        return false;
    }
    // The end record follows the directory; a comment of up to 64 KiB may follow it.
    uint64_t tailBytes = std::min<uint64_t>(*length, kEndBytes + 0xFFFF);
    std::string tail(tailBytes, '\0');
    if (!ReadAt(file.Get(), tail.data(), tail.size(), *length - tailBytes)) {
        error = path + " cannot be read";
        return false;
    }
    for (size_t at = tail.size() - kEndBytes + 1; at-- > 0;) {
        if (Load(tail, at, 4) != kEndSignature) continue;
        uint32_t bytes = Load(tail, at + 12, 4);
        uint32_t offset = Load(tail, at + 16, 4);
        if (uint64_t{offset} + bytes > *length) break;
        directory.assign(bytes, '\0');
        if (!ReadAt(file.Get(), directory.data(), bytes, offset)) break;
        return true;
    }
    error = path + ": no ZIP directory found";
    return false;
}

}  // namespace korvun::delta
