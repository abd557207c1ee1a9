// What a build of the console program may set before it runs, beside what the player gives it.
// The program we ship sets nothing (shipped_run_hooks.cpp). The tests link the same main with
// a unit of their own (tests/support/test_hooks.cpp) that reads these from its environment and
// installs the tests' file-system wrapper, so that nothing a test asks for can reach a
// player's program.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "update/update_thread.h"

namespace korvun {

struct RunHooks {
    // The release key instead of the one built in; empty: the built-in one.
    std::string releaseKey;
    // A certificate authority for the update server's https, beside the system's.
    std::string certificateAuthorityFile;
    std::optional<unsigned> timeoutMs;
    std::optional<RetryPolicy::Pauses> retryPauses;
    std::optional<unsigned> firstConnectTimeoutMs;
    std::optional<std::chrono::milliseconds> versionFileLimit;
    std::optional<uint32_t> packagesPerScan;
};

// Called once, first thing in main.
RunHooks PrepareRunHooks();

}  // namespace korvun
