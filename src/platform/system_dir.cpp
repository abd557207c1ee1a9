#include "platform/system_dir.h"

#include <cstdlib>

namespace korvun {

std::optional<std::string> SystemDirectory() {
    std::string prefix;
    if (const char* winePrefix = std::getenv("WINEPREFIX"); winePrefix && *winePrefix) {
        prefix = winePrefix;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        prefix = std::string(home) + "/.wine";
    } else {
        return std::nullopt;
    }
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    return prefix + "/drive_c/windows/system32";
}

}  // namespace korvun
