// Reading a server's content store: its newest version, the signed manifest of a version and
// blobs, each blob checked against its name before anything uses it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/inet.h"
#include "store/content_manifest.h"

namespace korvun {

class StoreFetcher {
  public:
    // address: a server address as UpdaterURL.txt gives it ("host:port/", "https://host/").
    StoreFetcher(InternetSession& session, std::string address)
        : session_(session), address_(std::move(address)) {}

    const std::string& Address() const { return address_; }
    // Body bytes received so far, over every request.
    uint64_t BytesFetched() const { return bytesFetched_; }

    // The number in patch/content/latest; nullopt (reason in error) when it cannot be had.
    std::optional<uint32_t> LatestVersion(std::string& error);
    // The manifest of version and its signature, judged with key. status Unreadable with a
    // detail also when they could not be fetched.
    VerifiedContent FetchManifest(const MinisignPublicKey& key, uint32_t version, int64_t now);
    // A blob's bytes, checked against its name.
    std::optional<std::string> FetchBlob(const Sha256Digest& blob, std::string& error);

  private:
    std::optional<std::string> Fetch(const std::string& path, uint64_t limit, std::string& error);

    InternetSession& session_;
    std::string address_;
    uint64_t bytesFetched_ = 0;
};

}  // namespace korvun
