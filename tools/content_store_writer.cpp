#include "content_store_writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "client_tree.h"
#include "release_signing.h"
#include "store/blob_codec.h"
#include "store/content_manifest.h"
#include "tool_support.h"

namespace korvun::tool {

namespace {

namespace fs = std::filesystem;

ReleaseResult Refused(std::string error) {
    ReleaseResult result;
    result.status = kReleaseRefused;
    result.error = std::move(error);
    return result;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Cuts items into blobs: a large item into pieces of its own, small ones packed together in
// the order they come, so that neighbours in the tree share a blob.
class BlobWriter {
  public:
    BlobWriter(std::string root, ContentManifest& manifest)
        : root_(std::move(root)), manifest_(manifest) {}

    // The item's content, given in slices, each slice's size known up front.
    bool AddItem(ContentItem item, const std::function<bool(uint64_t, char*, size_t)>& read) {
        Sha256Stream digest;
        if (item.size >= kContentPieceSize) {
            std::string piece;
            for (uint64_t done = 0; done < item.size; done += piece.size()) {
                piece.resize(static_cast<size_t>(std::min(kContentPieceSize, item.size - done)));
                if (!read(done, piece.data(), piece.size())) return ReadFailure(item.path);
                digest.Update(piece.data(), piece.size());
                Sha256Digest blob = DigestOf(piece);
                if (!WriteBlob(blob, piece)) return false;
                item.parts.push_back({blob, 0, piece.size()});
            }
        } else if (item.size > 0) {
            if (pack_.size() + item.size > kContentPieceSize && !FlushPack()) return false;
            size_t at = pack_.size();
            pack_.resize(at + static_cast<size_t>(item.size));
            if (!read(0, pack_.data() + at, static_cast<size_t>(item.size))) {
                return ReadFailure(item.path);
            }
            digest.Update(pack_.data() + at, static_cast<size_t>(item.size));
            item.parts.push_back({{}, at, item.size});
            packed_.push_back(manifest_.items.size());
        }
        item.sha256 = digest.Finish();
        manifest_.items.push_back(std::move(item));
        return true;
    }

    bool FlushPack() {
        if (pack_.empty()) return true;
        Sha256Digest blob = DigestOf(pack_);
        for (size_t index : packed_) manifest_.items[index].parts.front().blob = blob;
        bool written = WriteBlob(blob, pack_);
        pack_.clear();
        packed_.clear();
        return written;
    }

    const std::string& Error() const { return error_; }
    size_t Written() const { return written_; }
    size_t Shared() const { return shared_; }
    uint64_t CompressedBytes() const { return compressedBytes_; }

  private:
    bool ReadFailure(const std::string& path) {
        error_ = "cannot read " + path + " from the tree";
        return false;
    }

    // A blob is named by its content, so one that exists already is this very blob; it is
    // never written again, and a cache may keep it for good.
    bool WriteBlob(const Sha256Digest& blob, std::string_view bytes) {
        std::string path = root_ + "/" + BlobPath(blob);
        std::error_code failure;
        if (fs::exists(path, failure)) {
            ++shared_;
            return true;
        }
        fs::create_directories(fs::path(path).parent_path(), failure);
        std::string compressed = CompressBlob(bytes);
        if (failure || !WriteFileAtomically(path, compressed, error_)) {
            if (error_.empty()) error_ = "cannot create the folder of " + path;
            return false;
        }
        ++written_;
        compressedBytes_ += compressed.size();
        return true;
    }

    std::string root_;
    ContentManifest& manifest_;
    std::string pack_;
    std::vector<size_t> packed_;
    std::string error_;
    size_t written_ = 0;
    size_t shared_ = 0;
    uint64_t compressedBytes_ = 0;
};

bool IsReadOnly(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

bool AddTree(const ClientTree& tree, BlobWriter& writer) {
    for (const auto& [key, file] : tree.Loose()) {
        ContentItem item;
        item.path = file.path;
        item.size = file.size;
        item.readOnly = IsReadOnly(tree.LoosePath(file));
        std::ifstream in(tree.LoosePath(file), std::ios::binary);
        auto read = [&](uint64_t offset, char* buffer, size_t size) {
            in.seekg(static_cast<std::streamoff>(offset));
            return static_cast<bool>(in.read(buffer, static_cast<std::streamsize>(size)));
        };
        if (!writer.AddItem(std::move(item), read)) return false;
    }
    DataFile data(tree.DataFilePath());
    for (const auto& [key, file] : tree.Archive()) {
        ContentItem item;
        item.kind = ContentItem::Kind::ArchiveEntry;
        item.path = file.path;
        item.size = file.entry.size;
        item.extraWord = file.entry.extraWord;
        auto read = [&](uint64_t offset, char* buffer, size_t size) {
            return data.ReadAt(file.entry.offset + offset, buffer, size);
        };
        if (!writer.AddItem(std::move(item), read)) return false;
    }
    return writer.FlushPack();
}

// Above every serial this version's manifest was signed with, and never below the time.
uint64_t NextSerial(const std::string& signaturePath, int64_t now) {
    uint64_t next = static_cast<uint64_t>(std::max<int64_t>(now, 1));
    if (auto previous = ParseSignature(ReadText(signaturePath), nullptr)) {
        if (auto stamp = ParseReleaseStamp(previous->trustedComment)) {
            next = std::max(next, stamp->serial + 1);
        }
    }
    return next;
}

// patch/content/latest moves only forward: storing an old release again leaves it.
bool UpdateLatest(const std::string& root, uint32_t version, std::string& error) {
    std::string text = ReadText(root + "/" + kLatestContentPath);
    uint32_t latest = 0;
    std::from_chars(text.data(), text.data() + text.size(), latest);
    if (latest > version) return true;
    return WriteFileAtomically(root + "/" + kLatestContentPath, std::to_string(version) + "\n",
                               error);
}

}  // namespace

ReleaseResult StoreRelease(const std::string& root, const std::string& treeDir, uint32_t version,
                           const std::string& keyFile, unsigned days) {
    if (version == 0) return Refused("--version must be 1 or more");
    if (days == 0) return Refused("--expires must be 1 day or more");
    std::string error;
    std::optional<MinisignSecretKey> key = ReadSecretKey(keyFile, error);
    if (!key) return Refused(error);
    ClientTree tree;
    if (!tree.Load(treeDir)) return Refused(tree.Error());
    if (!tree.Problems().empty()) return Refused(treeDir + ": " + tree.Problems().front());

    ContentManifest manifest;
    manifest.version = version;
    manifest.versionFields = {{"CheckVersion", std::to_string(kServerCheckVersion)},
                              {"CurrentVersion", std::to_string(version)}};
    manifest.headerWord = tree.HeaderWord();
    manifest.headerBlock = tree.HeaderBlock();
    std::error_code failure;
    fs::create_directories(root + "/" + kContentDirectory, failure);
    if (failure) return Refused("cannot create " + root + "/" + kContentDirectory);
    BlobWriter writer(root, manifest);
    if (!AddTree(tree, writer)) return Refused(writer.Error());

    int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::string manifestPath = root + "/" + ContentManifestPath(version);
    std::string signaturePath = root + "/" + ContentSignaturePath(version);
    ReleaseStamp stamp{NextSerial(signaturePath, now), now + static_cast<int64_t>(days) * 86400};
    std::string text = FormatContentManifest(manifest);
    MinisignSignature signature =
        SignMessage(*key, text, FormatReleaseStamp(stamp), "signature from korvun-tool secret key");
    // The signature is written last: a client that finds it finds its manifest whole.
    if (!WriteFileAtomically(manifestPath, text, error) ||
        !WriteFileAtomically(signaturePath, FormatSignatureFile(signature), error) ||
        !UpdateLatest(root, version, error)) {
        return Refused(error);
    }
    ReleaseResult result;
    result.notes.push_back("stored version " + std::to_string(version) + ": " +
                           std::to_string(manifest.items.size()) + " files and entries, " +
                           std::to_string(writer.Written()) + " new blobs (" +
                           std::to_string(writer.CompressedBytes()) + " bytes), " +
                           std::to_string(writer.Shared()) + " already stored");
    result.notes.push_back("signed " + manifestPath + " with key " + KeyIdText(key->keyId) +
                           ": serial " + std::to_string(stamp.serial));
    return result;
}

}  // namespace korvun::tool
