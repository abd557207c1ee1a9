// What a native path is, and making directories: the file system queries of extraction.
#pragma once

#include <string>
#include <vector>

namespace korvun {

// 1 a file (or anything that is not a directory), -1 a directory, 0 nothing. Follows
// symbolic links.
int NativePathKind(const std::string& native);

// Creates one directory (mode 0755 where modes exist); true when it is a directory afterwards.
bool MakeDirectory(const std::string& native);

// Creates one directory; true only when this call made it. Otherwise errno says why (EEXIST
// when something of that name is there).
bool CreateNewDirectory(const std::string& native);

// Makes native the current directory; false (errno set) on failure.
bool ChangeDirectory(const std::string& native);

// The absolute path with every link resolved; empty when it cannot be resolved.
std::string RealPath(const std::string& native);

// The process's current directory as an absolute path; "." when it cannot be told.
std::string CurrentDirectory();

// The names in the directory native (without "." and ".."); empty when it cannot be read.
std::vector<std::string> DirectoryNames(const std::string& native);

}  // namespace korvun
