// Starting another program from a Windows-style command line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvun {

// Splits a command line by the Windows rules (quotes, backslashes before quotes).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Where StartProcess finds the program name (its own directory, the current directory, then
// PATH, case-insensitively; a name without an extension also matches name.exe).
std::optional<std::string> FindProgram(const std::string& name);

// Starts the program the command line names without waiting for it. The program is looked
// for in the updater's own directory, the current directory, then PATH, matching names
// case-insensitively; a file that starts with "MZ" is a Windows program and is started
// through wine ($WINELOADER when set). A name without an extension that matches nothing is
// tried again with ".exe". True when the process was created; a background thread reaps it
// when it ends.
bool StartProcess(const std::string& commandLine);

}  // namespace korvun
