// Starts the kernel's writes of a file's dirty pages from a helper thread. Submitting the
// writes costs the caller as much processor time as a good part of the copy that dirtied
// them; on the helper it runs beside the copy instead of inside it, and a later flush of the
// file still finds most of the work done.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace korvun {

class WritebackThread {
  public:
    WritebackThread() = default;
    ~WritebackThread();
    WritebackThread(const WritebackThread&) = delete;
    WritebackThread& operator=(const WritebackThread&) = delete;

    // Asks for the writes of fd's dirty pages to be started; returns at once. Requests that
    // arrive while one is being served are merged into one.
    void Request(int fd);
    // Returns once no request is pending or being served, so that fd may be closed.
    void Finish();

  private:
    void Serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    int pendingFd_ = -1;
    bool busy_ = false;
    bool stopping_ = false;
};

}  // namespace korvun
