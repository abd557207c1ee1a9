#include "update/download_check.h"

#include <algorithm>
#include <utility>

namespace korvun {

namespace {

// Large enough that handing a batch over costs little against hashing it, small enough that
// the two buffers stay a small part of the updater's memory.
constexpr size_t kBatchSize = 256 * 1024;

}  // namespace

DownloadCheck::~DownloadCheck() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::unique_lock<std::mutex> DownloadCheck::WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    return lock;
}

void DownloadCheck::Begin(const ManifestEntry& entry) {
    std::unique_lock<std::mutex> lock = WaitIdle();
    entry_ = entry;
    stream_.Reset();
    filling_.clear();
    filling_.reserve(kBatchSize);
    if (!thread_.joinable()) thread_ = std::thread([this] { Serve(); });
}

void DownloadCheck::Restart() {
    std::unique_lock<std::mutex> lock = WaitIdle();
    stream_.Reset();
    filling_.clear();
}

void DownloadCheck::Add(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        size_t room = kBatchSize - filling_.size();
        size_t taken = std::min(room, size);
        filling_.insert(filling_.end(), bytes, bytes + taken);
        bytes += taken;
        size -= taken;
        if (filling_.size() == kBatchSize) HandOver();
    }
}

void DownloadCheck::HandOver() {
    {
        std::unique_lock<std::mutex> lock = WaitIdle();
        std::swap(filling_, hashing_);
        pending_ = true;
    }
    changed_.notify_all();
    filling_.clear();
    filling_.reserve(kBatchSize);
}

bool DownloadCheck::Matches() {
    std::unique_lock<std::mutex> lock = WaitIdle();
    stream_.Update(filling_.data(), filling_.size());
    filling_.clear();
    return stream_.Finish() == entry_.sha256;
}

void DownloadCheck::Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return pending_ || stopping_; });
        if (!pending_) return;  // stopping, and no batch can be waited for any more
        lock.unlock();
        stream_.Update(hashing_.data(), hashing_.size());
        lock.lock();
        pending_ = false;
        changed_.notify_all();
    }
}

}  // namespace korvun
