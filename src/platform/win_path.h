// Windows-style relative names on a POSIX file system.
#pragma once

#include <string>

namespace korvun {

// Turns ".\\a\\b" or "a/b" into a native path ("./a/b"), resolving every component that
// already exists case-insensitively, as a Windows file system would: "game.exe" finds
// "Game.exe", and "Data\\X.txt" finds an existing "data/x.txt". Components that do not
// exist keep the case given. Both '\\' and '/' separate components.
std::string NativePath(const std::string& name);

}  // namespace korvun
