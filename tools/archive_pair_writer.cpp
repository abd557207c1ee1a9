#include "archive_pair_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "client_tree.h"
#include "platform/file_io.h"

namespace korvun::tool {

namespace {

// A path the merge and the deletion list can address: components of 1 to 255 bytes without
// a separator inside, and short enough for the updater's 2047-byte path buffers.
bool StorablePath(const std::string& path) {
    if (path.empty() || path.size() > GameArchive::kMaxPathBytes) return false;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string_view component(path.data() + start,
                                   (end == std::string::npos ? path.size() : end) - start);
        if (component.empty() || component.size() > kMaxNameBytes ||
            component.find('/') != std::string_view::npos ||
            component.find('\0') != std::string_view::npos) {
            return false;
        }
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

}  // namespace

ArchivePairWriter::ArchivePairWriter() = default;

ArchivePairWriter::~ArchivePairWriter() = default;

bool ArchivePairWriter::Open(const std::string& indexPath, std::string& error) {
    indexPath_ = indexPath;
    dataPath_ = indexPath.substr(0, indexPath.size() - 1) + "f";
    dataFile_ = OpenNativeFile(dataPath_, OpenMode::WriteCreateTruncate);
    if (!dataFile_.IsOpen()) {
        error = "cannot create " + dataPath_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ArchivePairWriter::Append(const char* data, size_t size) {
    if (!WriteFull(dataFile_.Get(), data, size)) return false;
    offset_ += size;
    return true;
}

bool ArchivePairWriter::Insert(const std::string& path, uint32_t size, uint32_t extraWord,
                               std::string& error) {
    const char terminator = 0;
    if (!Append(&terminator, 1)) {
        error = "cannot write " + dataPath_ + ": " + std::strerror(errno);
        return false;
    }
    size_t slash = path.rfind('\\');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    GameArchive::InsertEntry(index_.root, path, ArchiveEntry{name, entryStart_, size, extraWord});
    ++count_;
    return true;
}

bool ArchivePairWriter::Add(const std::string& path, std::string_view content, uint32_t extraWord,
                            std::string& error) {
    if (!StorablePath(path) || content.size() > UINT32_MAX) {
        error = "cannot be stored in an archive: " + path;
        return false;
    }
    entryStart_ = offset_;
    if (!Append(content.data(), content.size())) {
        error = "cannot write " + dataPath_ + ": " + std::strerror(errno);
        return false;
    }
    return Insert(path, static_cast<uint32_t>(content.size()), extraWord, error);
}

bool ArchivePairWriter::AddFrom(const std::string& path, const DataFile& source, uint64_t offset,
                                uint32_t size, uint32_t extraWord, std::string& error) {
    if (!StorablePath(path)) {
        error = "cannot be stored in an archive: " + path;
        return false;
    }
    entryStart_ = offset_;
    std::vector<char> buffer(std::min<size_t>(size, GameArchive::kCopyBufferSize));
    for (uint64_t done = 0; done < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
        if (!source.ReadAt(offset + done, buffer.data(), n)) {
            error = "the content of " + path + " cannot be read from its data file";
            return false;
        }
        if (!Append(buffer.data(), n)) {
            error = "cannot write " + dataPath_ + ": " + std::strerror(errno);
            return false;
        }
        done += n;
    }
    return Insert(path, size, extraWord, error);
}

bool ArchivePairWriter::Finish(uint32_t headerWord, const uint8_t* headerBlock,
                               std::string& error) {
    bool synced = SyncFile(dataFile_.Get()) && dataFile_.Close();
    if (!synced) {
        error = "cannot write " + dataPath_ + ": " + std::strerror(errno);
        return false;
    }
    std::memcpy(index_.headerBlock.data(), headerBlock, index_.headerBlock.size());
    index_.headerWord = headerWord;
    index_.fileCount = count_;
    if (!GameArchive::SaveIndexFile(indexPath_, index_)) {
        error = "cannot write " + indexPath_;
        return false;
    }
    return true;
}

}  // namespace korvun::tool
