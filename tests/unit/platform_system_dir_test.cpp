#include "platform/system_dir.h"

#include <gtest/gtest.h>

#include "platform_test_helpers.h"

namespace korvun {
namespace {

using test::ScopedEnv;

TEST(SystemDirectory, ComesFromWinePrefix) {
    ScopedEnv prefix("WINEPREFIX", "/games/prefix/");
    ScopedEnv home("HOME", "/home/p");
    EXPECT_EQ(SystemDirectory(), "/games/prefix/drive_c/windows/system32");
}

TEST(SystemDirectory, DefaultPrefixIsDotWineInHome) {
    ScopedEnv home("HOME", "/home/p");
    {
        ScopedEnv prefix("WINEPREFIX", std::nullopt);
        EXPECT_EQ(SystemDirectory(), "/home/p/.wine/drive_c/windows/system32");
    }
    ScopedEnv emptyPrefix("WINEPREFIX", "");
    EXPECT_EQ(SystemDirectory(), "/home/p/.wine/drive_c/windows/system32");
}

TEST(SystemDirectory, UnavailableWithoutPrefixOrHome) {
    ScopedEnv prefix("WINEPREFIX", std::nullopt);
    ScopedEnv home("HOME", std::nullopt);
    EXPECT_EQ(SystemDirectory(), std::nullopt);
}

}  // namespace
}  // namespace korvun
