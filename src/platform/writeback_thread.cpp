#include "platform/writeback_thread.h"

#include "platform/file_io.h"

namespace korvun {

WritebackThread::~WritebackThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void WritebackThread::Request(int fd) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingFd_ = fd;
        if (!thread_.joinable()) thread_ = std::thread([this] { Serve(); });
    }
    changed_.notify_all();
}

void WritebackThread::Finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return pendingFd_ == -1 && !busy_; });
}

void WritebackThread::Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return pendingFd_ != -1 || stopping_; });
        if (pendingFd_ == -1) return;  // stopping with nothing left to start
        int fd = pendingFd_;
        pendingFd_ = -1;
        busy_ = true;
        lock.unlock();
        StartWriteback(fd);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace korvun
