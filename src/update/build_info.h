// What a program says about its own build with --version: the updater's version, the release
// key it trusts and the server it asks when the game directory names none.
#pragma once

#include <string>

namespace korvun {

// The updater's version as the project was configured ("1.0.0").
const char* UpdaterVersion();

// Lines for --version: "PROGRAM VERSION", the built-in release key's id (or "none") for
// keyLine, and the default server with its mirrors.
std::string BuildInfoText(const std::string& program, const std::string& keyLine);

}  // namespace korvun
