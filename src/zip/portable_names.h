// Names that every player's system can hold. Linux takes as ordinary names some that Windows
// does not: there a device name writes to the device, a trailing dot or space is dropped (so
// the file lands under another name than the index records), and a ':' names a stream of
// another file. A package is extracted alike for every player, so both builds refuse such
// entries before anything is written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_path.h"

namespace korvun {

// What a package build allows a name below the game folder: room under the shortest Windows
// game folder ("C:\G\").
constexpr size_t kLongestPortableName = 259 - 5;

// True for a component that Windows cannot hold under its own name: CON, PRN, AUX, NUL,
// COM1-COM9 or LPT1-LPT9 in any case, also with an extension or spaces before it; a name that
// ends in a dot or a space; a name with ':'.
bool IsWindowsOnlyTrouble(std::string_view component);

// True when every component can be held and destRoot joined with them stays within the
// longest path the system opens (LongestNativePath, counted by NativeNameLength).
bool IsPortableTarget(const std::string& destRoot, const std::vector<std::string>& components);

}  // namespace korvun
