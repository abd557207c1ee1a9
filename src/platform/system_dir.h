// The Windows system directory of the Wine prefix the game runs in.
#pragma once

#include <optional>
#include <string>

namespace korvun {

// $WINEPREFIX/drive_c/windows/system32, with ~/.wine as the default prefix; nullopt when
// neither WINEPREFIX nor HOME is set.
std::optional<std::string> SystemDirectory();

}  // namespace korvun
