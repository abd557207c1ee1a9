#include "store/store_fetch.h"

#include <charconv>

#include "store/blob_codec.h"
#include "update/server_address.h"

namespace korvun {

namespace {

// A compressed piece is never much larger than the piece: zstd's bound on incompressible data.
constexpr uint64_t kMaxBlobBytes = kContentPieceSize + kContentPieceSize / 64 + 4096;

}  // namespace

std::optional<std::string> StoreFetcher::Fetch(const std::string& path, uint64_t limit,
                                               std::string& error) {
    std::string url = ServerUrl(address_, "/" + path);
    InternetError failure;
    std::unique_ptr<InternetFile> file = session_.OpenUrl(url, &failure);
    if (!file) {
        error = url + ": " + failure.text;
        return std::nullopt;
    }
    if (file->StatusCode() < 200 || file->StatusCode() > 299) {
        error = url + ": HTTP status " + std::to_string(file->StatusCode());
        return std::nullopt;
    }
    std::string body;
    char buffer[64 * 1024];
    for (;;) {
        size_t n = 0;
        if (!file->Read(buffer, sizeof buffer, &n, &failure)) {
            error = url + ": " + failure.text;
            return std::nullopt;
        }
        bytesFetched_ += n;
        if (n == 0) return body;
        if (body.size() + n > limit) {
            error = url + ": larger than " + std::to_string(limit) + " bytes";
            return std::nullopt;
        }
        body.append(buffer, n);
    }
}

std::optional<uint32_t> StoreFetcher::LatestVersion(std::string& error) {
    std::optional<std::string> text = Fetch(kLatestContentPath, 64, error);
    if (!text) return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    uint32_t version = 0;
    auto [end, failure] = std::from_chars(text->data(), text->data() + text->size(), version);
    if (failure != std::errc() || end != text->data() + text->size() || version == 0) {
        error = std::string(kLatestContentPath) + " holds no version number";
        return std::nullopt;
    }
    return version;
}

VerifiedContent StoreFetcher::FetchManifest(const MinisignPublicKey& key, uint32_t version,
                                            int64_t now) {
    VerifiedContent result;
    std::optional<std::string> text =
        Fetch(ContentManifestPath(version), kMaxContentManifestBytes, result.detail);
    std::optional<std::string> signature =
        text ? Fetch(ContentSignaturePath(version), kMaxManifestBytes, result.detail)
             : std::nullopt;
    if (!signature) return result;
    // Each version's manifest is signed once and stays valid beside newer ones, so its serial
    // is not held against the release manifest's; the version it names must be the one asked.
    result = VerifyContentManifest(key, *text, *signature, now, 0, version);
    result.fetched = true;
    return result;
}

std::optional<std::string> StoreFetcher::FetchBlob(const Sha256Digest& blob, std::string& error) {
    std::optional<std::string> compressed = Fetch(BlobPath(blob), kMaxBlobBytes, error);
    if (!compressed) return std::nullopt;
    std::optional<std::string> bytes = DecompressBlob(*compressed, blob, error);
    if (!bytes) error = BlobPath(blob) + ": " + error;
    return bytes;
}

}  // namespace korvun
