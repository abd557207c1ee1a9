// The helper that starts a file's disk writes: requests end before Finish returns, and the
// helper is gone with its owner.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "platform/writeback_thread.h"

namespace korvun {
namespace {

size_t ThreadsOfThisProcess() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// A joined thread's task may stay listed for a moment after the join returns (the kernel
// wakes the joiner before it has reaped the task), so what must follow a join is polled.
template <typename Predicate>
void PollForFiveSeconds(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(WritebackThreadTest, ManyRequestsEndBeforeFinishAndTheHelperLeavesWithItsOwner) {
    std::string path =
        std::filesystem::temp_directory_path() / ("korvun-writeback-" + std::to_string(getpid()));
    FileHandle file = OpenFile(path, OpenMode::WriteCreateTruncate);
    ASSERT_TRUE(file.IsOpen());
    int fd = file.Get();
    // A sanitizer's runtime starts a thread of its own at the first thread a program makes.
    pid_t starter = 0;
    std::thread([&] { starter = gettid(); }).join();
    PollForFiveSeconds(
        [&] { return !std::filesystem::exists("/proc/self/task/" + std::to_string(starter)); });
    size_t before = ThreadsOfThisProcess();
    {
        WritebackThread writeback;
        writeback.Finish();  // nothing asked yet: returns at once, no helper started
        EXPECT_EQ(ThreadsOfThisProcess(), before);
        std::string block(64 * 1024, 'w');
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(WriteFull(fd, block.data(), block.size()));
            writeback.Request(fd);
        }
        writeback.Finish();
        EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
        // The descriptor may be closed now and its number reused; the helper is idle.
        ASSERT_TRUE(file.Close());
        writeback.Finish();
    }
    PollForFiveSeconds([&] { return ThreadsOfThisProcess() <= before; });
    EXPECT_EQ(ThreadsOfThisProcess(), before);
    EXPECT_EQ(FileSize(path), std::optional<uint64_t>(200u * 64 * 1024));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace korvun
