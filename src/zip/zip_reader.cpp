#include "zip/zip_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/file_attributes.h"
#include "platform/file_io.h"
#include "platform/progress_sink.h"
#include "zip/zip_exception.h"
#include "zip/zip_paths.h"

namespace korvun {

namespace {

constexpr uint32_t kSmallestBuffer = 1024;

}  // namespace

void* CZipReader::AllocationList::Allocate(void* opaque, uInt items, uInt size) {
    auto* list = static_cast<AllocationList*>(opaque);
    const size_t bytes = size_t{items} * size;
    if (size != 0 && bytes / size != items) return Z_NULL;
    auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + bytes));
    if (block == nullptr) return Z_NULL;
    block->previous = &list->head;
    block->next = list->head.next;
    list->head.next->previous = block;
    list->head.next = block;
    return block + 1;
}

void CZipReader::AllocationList::Free(void*, void* address) {
    if (address == nullptr) return;
    Block* block = static_cast<Block*>(address) - 1;
    block->previous->next = block->next;
    block->next->previous = block->previous;
    std::free(block);
}

void CZipReader::AllocationList::FreeAll() {
    while (head.next != &head) Free(this, head.next + 1);
}

CZipReader::CZipReader() : directory_(volumes_) {}

CZipReader::~CZipReader() { allocations_.FreeAll(); }

void CZipReader::SetBufferSizes(uint32_t writeBuffer, uint32_t readBuffer, uint32_t searchBuffer) {
    if (IsOpen()) return;
    writeBufferSize_ = std::max(writeBuffer, kSmallestBuffer);
    readBufferSize_ = std::max(readBuffer, kSmallestBuffer);
    searchBufferSize_ = std::max(searchBuffer, kSmallestBuffer);
}

void CZipReader::OpenPackage(const std::string& path) {
    if (IsOpen()) return;
    volumes_.Open(path, writeBufferSize_);
    folderIndex_.Clear();
    directory_.Clear();
    directory_.SetSearchBufferSize(searchBufferSize_);
    directory_.ReadDirectory();
}

void CZipReader::ClosePackage() {
    if (!IsOpen()) return;
    if (openState_ == OpenState::Reading) CloseEntry(nullptr, false);
    directory_.Clear();
    folderIndex_.Clear();
    volumes_.Close();
}

int CZipReader::GetEntryCount() const {
    return IsOpen() ? static_cast<int>(directory_.Entries().size()) : 0;
}

bool CZipReader::IsDirectoryEntry(uint16_t index) const {
    if (!IsOpen() || index >= directory_.Entries().size()) return false;
    return directory_.Entries()[index].IsDirectory();
}

bool CZipReader::GetEntryInfo(CZipEntry& entry, uint16_t index) const {
    if (!IsOpen() || index >= directory_.Entries().size()) return false;
    entry = directory_.Entries()[index];
    return true;
}

bool CZipReader::OpenEntry(uint16_t index) {
    if (!IsOpen() || index >= directory_.Entries().size() || openState_ != OpenState::None) {
        return false;
    }
    readBuffer_.resize(readBufferSize_);
    directory_.OpenEntryData(index);
    const CZipEntry& entry = directory_.Entries()[index];
    if (entry.IsEncrypted()) return false;  // there is no password

    stream_ = z_stream{};
    if (entry.method == kMethodDeflated) {
        stream_.zalloc = &AllocationList::Allocate;
        stream_.zfree = &AllocationList::Free;
        stream_.opaque = &allocations_;
        int rc = inflateInit2(&stream_, -MAX_WBITS);  // raw deflate, no zlib header
        if (rc != Z_OK && rc != Z_NEED_DICT) ThrowZipError(rc, volumes_.Path());
    } else if (entry.method != kMethodStored) {
        volumes_.Raise(kZipBadPackage);
    }
    entry_ = &entry;
    compressedLeft_ = entry.compressedSize;
    uncompressedLeft_ = entry.uncompressedSize;
    crc_ = 0;
    openState_ = OpenState::Reading;
    return true;
}

uint32_t CZipReader::ReadEntry(void* buffer, uint32_t size) {
    if (openState_ != OpenState::Reading || buffer == nullptr || size == 0) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    // Never more than the directory declares, whatever the data hold.
    uint32_t space = std::min(size, uncompressedLeft_);
    // A deflated entry of size 0 still has its (empty) stream to consume.
    const bool forced = space == 0 && compressedLeft_ > 0;
    const bool stored = entry_->method == kMethodStored;
    uint32_t produced = 0;
    while (space > 0 || (forced && compressedLeft_ > 0)) {
        if (stream_.avail_in == 0 && compressedLeft_ > 0) {
            const uint32_t count = std::min(readBufferSize_, compressedLeft_);
            volumes_.ReadData(readBuffer_.data(), count, false);
            compressedLeft_ -= count;
            stream_.next_in = readBuffer_.data();
            stream_.avail_in = count;
        }
        if (stored) {
            // Its data are used up: an entry that claims more than it stores ends here.
            if (stream_.avail_in == 0) break;
            const uint32_t count = std::min(stream_.avail_in, space);
            std::memcpy(out + produced, stream_.next_in, count);
            crc_ = static_cast<uint32_t>(crc32(crc_, out + produced, count));
            stream_.next_in += count;
            stream_.avail_in -= count;
            uncompressedLeft_ -= count;
            space -= count;
            produced += count;
            continue;
        }
        stream_.next_out = out + produced;
        stream_.avail_out = space;
        const uLong before = stream_.total_out;
        const int rc = inflate(&stream_, Z_SYNC_FLUSH);
        const auto count = static_cast<uint32_t>(stream_.total_out - before);
        crc_ = static_cast<uint32_t>(crc32(crc_, out + produced, count));
        uncompressedLeft_ -= count;
        space -= count;
        produced += count;
        if (rc == Z_STREAM_END) return produced;
        if (rc != Z_OK && rc != Z_NEED_DICT) ThrowZipError(rc, volumes_.Path());
    }
    return produced;
}

EntryCloseResult CZipReader::CloseEntry(const std::string* path, bool afterError) {
    if (openState_ != OpenState::Reading) return EntryCloseResult::NotOpen;
    EntryCloseResult result = EntryCloseResult::Complete;
    if (!afterError) {
        if (uncompressedLeft_ == 0) {
            if (crc_ != entry_->crc32) volumes_.Raise(kZipBadCrc);
        } else {
            result = EntryCloseResult::Incomplete;
        }
        if (entry_->method == kMethodDeflated) inflateEnd(&stream_);
        if (path != nullptr) {
            const std::time_t written = entry_->ModificationTime();
            // Without its times the entry stays open, as a file the reader could not finish.
            if (written == -1 || !SetLastWriteTime(*path, written)) {
                return EntryCloseResult::TimesNotSet;
            }
            if (!ApplyFileAttributes(*path, entry_->externalAttributes, entry_->versionMadeBy)) {
                result = EntryCloseResult::AttributesNotSet;
            }
        }
    }
    directory_.CloseEntryData(compressedLeft_ == 0);
    ReleaseEntryState();
    return result;
}

void CZipReader::ReleaseEntryState() {
    openState_ = OpenState::None;
    entry_ = nullptr;
    stream_ = z_stream{};
    std::vector<unsigned char>().swap(readBuffer_);
    allocations_.FreeAll();
}

EntryCloseResult CZipReader::CloseEntryFile(ZipOutputFile& file) {
    if (!file.file.Close()) throw CFileException(file.path, errno, "write");
    return CloseEntry(&file.path, false);
}

void CZipReader::FlushOutput(ZipOutputFile& file, const char* data, size_t& size) {
    if (size == 0) return;
    if (!WriteFull(file.file.Get(), data, size)) throw CFileException(file.path, errno, "write");
    size = 0;
}

bool CZipReader::ExtractEntry(uint16_t index, const std::string& destRoot, bool keepPath,
                              const char* newName, uint32_t bufferSize) {
    if (bufferSize == 0 && destRoot.empty()) return false;
    CZipEntry entry;
    if (!GetEntryInfo(entry, index)) return false;

    const std::string name = newName != nullptr ? std::string(newName) : entry.Name();
    const EntryTarget target = ResolveEntryTarget(destRoot, name, keepPath, &folderIndex_);
    if (target.kind == EntryTarget::Kind::Refused) return false;
    if (entry.IsDirectory()) {
        // The destination itself keeps its own mode whatever a package says about it.
        if (target.kind == EntryTarget::Kind::Root) return true;
        // A folder that cannot be made (a file holds its name) is a failed entry; the file
        // keeps its mode.
        if (!MakeTargetDirectories(target, true, folderIndex_)) return false;
        ApplyFileAttributes(target.path, entry.externalAttributes, entry.versionMadeBy);
        return true;
    }
    if (target.kind != EntryTarget::Kind::Path || bufferSize == 0) return false;

    if (!OpenEntry(index)) return false;
    MakeTargetDirectories(target, false, folderIndex_);
    ZipOutputFile file;
    file.path = target.path;
    file.file = OpenNativeFile(file.path, OpenMode::WriteCreateTruncate);
    if (!file.file.IsOpen()) throw CFileException(file.path, errno, "create");
    if (!target.missing.empty()) folderIndex_.AddedFile(file.path);

    // Chunks are collected in the package's write buffer and written in few large calls; the
    // stop test and the progress still come after every chunk.
    std::vector<char> ownBuffer;
    std::vector<char>& writeBuffer = volumes_.WriteBuffer();
    char* buffer = writeBuffer.data();
    size_t capacity = writeBuffer.size();
    if (capacity < bufferSize) {
        ownBuffer.resize(bufferSize);
        buffer = ownBuffer.data();
        capacity = ownBuffer.size();
    }
    size_t pending = 0;
    uint32_t count = 0;
    do {
        if (capacity - pending < bufferSize) FlushOutput(file, buffer, pending);
        try {
            count = ReadEntry(buffer + pending, bufferSize);
        } catch (const CZipException&) {
            // The file keeps what was produced before the damage was found.
            FlushOutput(file, buffer, pending);
            throw;
        }
        pending += count;
        if (progress_ != nullptr && !progress_->Advance(count)) {
            FlushOutput(file, buffer, pending);
            CloseEntryFile(file);
            return true;
        }
    } while (count == bufferSize);
    FlushOutput(file, buffer, pending);
    return CloseEntryFile(file) == EntryCloseResult::Complete;
}

}  // namespace korvun
