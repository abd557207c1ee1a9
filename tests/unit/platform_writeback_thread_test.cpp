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
#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ThreadCountBeforeHelpers;
using test::ThreadsOfThisProcess;
using test::WaitFor;

TEST(WritebackThreadTest, ManyRequestsEndBeforeFinishAndTheHelperLeavesWithItsOwner) {
    std::string path =
        std::filesystem::temp_directory_path() / ("korvun-writeback-" + std::to_string(getpid()));
    FileHandle file = OpenFile(path, OpenMode::WriteCreateTruncate);
    ASSERT_TRUE(file.IsOpen());
    int fd = file.Get();
    size_t before = ThreadCountBeforeHelpers();
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
    WaitFor([&] { return ThreadsOfThisProcess() <= before; }, std::chrono::seconds(5));
    EXPECT_EQ(ThreadsOfThisProcess(), before);
    EXPECT_EQ(FileSize(path), std::optional<uint64_t>(200u * 64 * 1024));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace korvun
