#include "zip/zip_directory.h"

#include <algorithm>
#include <cstring>

#include "platform/code_page.h"
#include "zip/zip_exception.h"

namespace korvun {

namespace {

constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kDataDescriptorSignature = 0x08074B50;
constexpr uint32_t kEndRecordSize = 22;
constexpr uint32_t kCentralHeaderSize = 46;
constexpr uint32_t kLocalHeaderSize = 30;
constexpr int64_t kLongestEndRecord = kEndRecordSize + 65535;  // with the longest comment

uint16_t Get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void CZipDirectory::Clear() {
    thisDisk_ = centralDisk_ = entriesOnDisk_ = totalEntries_ = 0;
    centralSize_ = centralOffset_ = 0;
    comment_.clear();
    endRecordPosition_ = prefixLength_ = 0;
    entries_.clear();
    openEntry_ = nullptr;
    localExtraField_.clear();
    readFromFile_ = false;
}

uint64_t CZipDirectory::FindEndRecord() {
    const int64_t length = static_cast<int64_t>(volumes_.Length());
    const int64_t searched = std::min(kLongestEndRecord, length);
    const int64_t chunk = searchBufferSize_;
    std::vector<unsigned char> buffer(static_cast<size_t>(std::min(chunk, searched)));
    int64_t covered = 0;  // bytes at the end of the file already searched
    while (searched > 0) {
        const int64_t reach = std::min(covered + chunk, searched);
        const auto count = static_cast<uint32_t>(reach - covered);
        volumes_.Seek(static_cast<uint64_t>(length - reach));
        volumes_.ReadData(buffer.data(), count, true);
        for (int64_t i = static_cast<int64_t>(count) - 4; i >= 0; --i) {
            if (Get32(&buffer[static_cast<size_t>(i)]) == kEndRecordSignature) {
                return static_cast<uint64_t>(length - reach + i);
            }
        }
        if (reach >= searched) break;
        // Chunks overlap by three bytes, so a signature across a chunk border is seen.
        covered = reach - 3;
    }
    volumes_.Raise(kZipNoEndRecord);
}

void CZipDirectory::ReadDirectory() {
    const uint64_t position = FindEndRecord();
    unsigned char record[kEndRecordSize];
    volumes_.Seek(position);
    volumes_.ReadData(record, kEndRecordSize, true);
    endRecordPosition_ = position;
    thisDisk_ = Get16(record + 4);
    centralDisk_ = Get16(record + 6);
    entriesOnDisk_ = Get16(record + 8);
    totalEntries_ = Get16(record + 10);
    centralSize_ = Get32(record + 12);
    centralOffset_ = Get32(record + 16);
    const uint16_t commentLength = Get16(record + 20);

    volumes_.SetVolumeMode(thisDisk_);
    const bool split = volumes_.IsSplit();
    const uint64_t centralEnd = uint64_t{centralOffset_} + centralSize_;
    if (!split && position < centralEnd) volumes_.Raise(kZipBadPackage);
    if (commentLength != 0) comment_ = ReadField(commentLength);
    prefixLength_ = split ? 0 : position - centralEnd;
    if ((centralSize_ == 0) != (totalEntries_ == 0)) volumes_.Raise(kZipBadPackage);
    // Every record takes at least its fixed part, so a count the directory cannot hold is a
    // damaged package, found before anything is allocated for it.
    if (uint64_t{totalEntries_} * kCentralHeaderSize > centralSize_) {
        volumes_.Raise(kZipBadPackage);
    }
    readFromFile_ = true;
    volumes_.SwitchVolume(centralDisk_);
    if (centralSize_ == 0) return;

    volumes_.Seek(centralOffset_ + prefixLength_);
    entries_.clear();
    for (unsigned i = 0; i < totalEntries_; ++i) {
        CZipEntry& entry = entries_.emplace_back();
        ReadEntryRecord(entry);
        if (convertNames_) ConvertName(entry);
    }
}

std::string CZipDirectory::ReadField(uint16_t length) {
    if (length == 0) return {};
    // Checked against what the file holds before the field is allocated.
    if (volumes_.Position() + length > volumes_.Length()) volumes_.Raise(kZipBadPackage);
    std::string field(length, '\0');
    volumes_.ReadData(field.data(), length, true);
    return field;
}

void CZipDirectory::ReadEntryRecord(CZipEntry& entry) {
    unsigned char header[kCentralHeaderSize];
    volumes_.ReadData(header, kCentralHeaderSize, true);
    entry.signature = Get32(header);
    if (entry.signature != kCentralHeaderSignature) volumes_.Raise(kZipBadPackage);
    entry.versionMadeBy = Get16(header + 4);
    entry.versionNeeded = Get16(header + 6);
    entry.flags = Get16(header + 8);
    entry.method = Get16(header + 10);
    entry.modificationTime = Get16(header + 12);
    entry.modificationDate = Get16(header + 14);
    entry.crc32 = Get32(header + 16);
    entry.compressedSize = Get32(header + 20);
    entry.uncompressedSize = Get32(header + 24);
    const uint16_t nameLength = Get16(header + 28);
    const uint16_t extraLength = Get16(header + 30);
    const uint16_t commentLength = Get16(header + 32);
    entry.diskNumberStart = Get16(header + 34);
    entry.internalAttributes = Get16(header + 36);
    entry.externalAttributes = Get32(header + 38);
    entry.localHeaderOffset = Get32(header + 42);
    entry.fileName = ReadField(nameLength);
    entry.storedNameLength = nameLength;
    entry.extraField = ReadField(extraLength);
    entry.comment = ReadField(commentLength);
}

void CZipDirectory::ConvertName(CZipEntry& entry) const {
    // Names flagged as UTF-8 are already what the file system takes.
    if ((entry.flags & kFlagUtf8Names) == 0) entry.fileName = OemToUtf8(entry.fileName);
    std::replace(entry.fileName.begin(), entry.fileName.end(), '/', '\\');
}

void CZipDirectory::OpenEntryData(uint16_t index) {
    if (index >= entries_.size()) volumes_.Raise(kZipBadPackage);
    openEntry_ = &entries_[index];
    const CZipEntry& entry = *openEntry_;
    volumes_.SwitchVolume(entry.diskNumberStart);
    volumes_.Seek(uint64_t{entry.localHeaderOffset} + prefixLength_);

    unsigned char header[kLocalHeaderSize];
    volumes_.ReadData(header, kLocalHeaderSize, true);
    const uint16_t flags = Get16(header + 6);
    const uint16_t method = Get16(header + 8);
    bool matches = Get32(header) == kLocalHeaderSignature && flags == entry.flags &&
                   method == entry.method &&
                   (method == kMethodStored || method == kMethodDeflated) &&
                   Get16(header + 26) == entry.storedNameLength;
    if (matches && (flags & kFlagDataDescriptor) == 0) {
        matches = Get32(header + 14) == entry.crc32 && Get32(header + 18) == entry.compressedSize &&
                  Get32(header + 22) == entry.uncompressedSize;
    }
    if (!matches) volumes_.Raise(kZipBadPackage);
    volumes_.SeekRelative(Get16(header + 26));

    localExtraField_.clear();
    const uint16_t extraLength = Get16(header + 28);
    if (extraLength != 0) {
        const int volume = volumes_.Current();
        if (volumes_.Position() + extraLength > volumes_.Length()) volumes_.Raise(kZipBadPackage);
        localExtraField_.assign(extraLength, '\0');
        volumes_.ReadData(localExtraField_.data(), extraLength, true);
        if (volumes_.Current() != volume) volumes_.Raise(kZipBadPackage);
    }
}

void CZipDirectory::CloseEntryData(bool dataConsumed) {
    if (openEntry_ == nullptr) return;
    localExtraField_.clear();
    const CZipEntry& entry = *openEntry_;
    openEntry_ = nullptr;
    // An entry left before its end (a stop, a short entry) has no descriptor at the file
    // position; comparing there would report a sound package as damaged.
    if (!entry.HasDataDescriptor() || !dataConsumed) return;
    unsigned char descriptor[12];
    volumes_.ReadData(descriptor, 4, false);
    if (Get32(descriptor) != kDataDescriptorSignature) volumes_.SeekRelative(-4);
    volumes_.ReadData(descriptor, 12, false);
    if (Get32(descriptor) != entry.crc32 || Get32(descriptor + 4) != entry.compressedSize ||
        Get32(descriptor + 8) != entry.uncompressedSize) {
        volumes_.Raise(kZipBadPackage);
    }
}

}  // namespace korvun
