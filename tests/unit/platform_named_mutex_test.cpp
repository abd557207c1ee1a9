#include "platform/named_mutex.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScopedEnv;
using test::ScratchDir;

constexpr const char* kName = "Korvun Updater";

class NamedMutexTest : public ::testing::Test {
  protected:
    ScratchDir dir;
    ScopedEnv runtimeDir{"XDG_RUNTIME_DIR", dir.Path()};
};

TEST_F(NamedMutexTest, SecondHolderIsRefusedUntilTheFirstEnds) {
    auto first = std::make_unique<NamedMutex>(kName);
    EXPECT_TRUE(first->Acquired());
    EXPECT_TRUE(std::filesystem::exists(dir / "Korvun_Updater.lock"));
    {
        NamedMutex second(kName);
        EXPECT_FALSE(second.Acquired());
    }
    EXPECT_TRUE(NamedMutex("Another Program").Acquired());
    first.reset();
    EXPECT_TRUE(NamedMutex(kName).Acquired());
}

// The lock belongs to the process: another process cannot take it while this one holds it,
// and the system frees it when the holder dies, even by SIGKILL.
TEST_F(NamedMutexTest, OtherProcessIsExcludedAndLockDiesWithHolder) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedMutex held(kName);
        char acquired = held.Acquired() ? '1' : '0';
        (void)!::write(report[1], &acquired, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(report[1]);
    char acquired = 0;
    ASSERT_EQ(::read(report[0], &acquired, 1), 1);
    ::close(report[0]);
    EXPECT_EQ(acquired, '1');
    EXPECT_FALSE(NamedMutex(kName).Acquired());

    ::kill(child, SIGKILL);
    int status;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(NamedMutex(kName).Acquired());
}

// A program the updater starts (the game, a new updater) must not inherit the lock, or the
// next updater would be refused for as long as the game runs.
TEST_F(NamedMutexTest, StartedProgramsDoNotKeepTheLock) {
    auto holder = std::make_unique<NamedMutex>(kName);
    ASSERT_TRUE(holder->Acquired());
    pid_t sleeper;
    const char* argv[] = {"sleep", "30", nullptr};
    ASSERT_EQ(::posix_spawnp(&sleeper, "sleep", nullptr, nullptr, const_cast<char* const*>(argv),
                             environ),
              0);
    holder.reset();
    EXPECT_TRUE(NamedMutex(kName).Acquired());
    ::kill(sleeper, SIGKILL);
    int status;
    ::waitpid(sleeper, &status, 0);
}

TEST(NamedMutexFallback, UsesTmpWithoutRuntimeDirectory) {
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", std::nullopt);
    const std::string name = "Korvun Test " + std::to_string(::getpid());
    NamedMutex first(name);
    EXPECT_TRUE(first.Acquired());
    EXPECT_FALSE(NamedMutex(name).Acquired());
    std::filesystem::remove("/tmp/Korvun_Test_" + std::to_string(::getpid()) + "-" +
                            std::to_string(::getuid()) + ".lock");
}

}  // namespace
}  // namespace korvun
