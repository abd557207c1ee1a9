// The Wine prefix that the tests running Windows programs share: build/wine-prefix of the
// source tree, made (with `wineboot`) by the first test that needs it.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace korvun::test {

// Empty when the prefix cannot be made. Creating one takes half a minute; a lock keeps tests
// that start together from making it twice.
inline std::string SharedWinePrefix(const std::string& sourceDir) {
    std::string prefix = sourceDir + "/build/wine-prefix";
    if (std::filesystem::exists(prefix + "/system.reg")) return prefix;
    std::filesystem::create_directories(sourceDir + "/build");
    int lock = ::open((prefix + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0) return {};
    ::flock(lock, LOCK_EX);
    if (!std::filesystem::exists(prefix + "/system.reg")) {
        std::string command = "env -u DISPLAY WINEDEBUG=-all WINEPREFIX='" + prefix +
                              "' wineboot -i >/dev/null 2>&1 && WINEPREFIX='" + prefix +
                              "' wineserver -w";
        if (std::system(command.c_str()) != 0) prefix.clear();
    }
    ::close(lock);
    return prefix;
}

}  // namespace korvun::test
