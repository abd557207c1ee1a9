// One download checked against its manifest entry as the bytes arrive, so that no byte is
// read twice. The hashing runs on a helper thread, one batch behind the download: on a
// machine with a second core the check then costs the transfer a copy of each batch instead
// of its SHA-256, and a checked download keeps up with an unchecked one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "trust/release_manifest.h"
#include "trust/sha256_stream.h"

namespace korvun {

class DownloadCheck {
  public:
    DownloadCheck() = default;
    ~DownloadCheck();
    DownloadCheck(const DownloadCheck&) = delete;
    DownloadCheck& operator=(const DownloadCheck&) = delete;

    // Starts checking a file against entry; the helper thread starts with the first check.
    void Begin(const ManifestEntry& entry);
    // The same file from its first byte again.
    void Restart();
    // The file's next bytes; they are copied, so data may be reused as soon as this returns.
    void Add(const void* data, size_t size);
    uint64_t SignedSize() const { return entry_.size; }
    // True when the bytes given since Begin() or Restart() have the entry's SHA-256. The
    // check starts anew afterwards.
    bool Matches();

  private:
    void Serve();
    // Returns with the lock held once the helper has no batch.
    std::unique_lock<std::mutex> WaitIdle();
    void HandOver();

    ManifestEntry entry_;
    // Updated by the helper while a batch is pending, by the caller otherwise.
    Sha256Stream stream_;
    std::vector<char> filling_;  // the caller's
    std::vector<char> hashing_;  // the helper's while a batch is pending
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    bool pending_ = false;
    bool stopping_ = false;
};

}  // namespace korvun
