// Windows-style relative names on a POSIX file system.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvun {

// Turns ".\\a\\b" or "a/b" into a native path ("./a/b"), resolving every component that
// already exists case-insensitively, as a Windows file system would: "game.exe" finds
// "Game.exe", and "Data\\X.txt" finds an existing "data/x.txt". Components that do not
// exist keep the case given. Both '\\' and '/' separate components.
std::string NativePath(const std::string& name);

// The form in which two file names compare equal exactly when the updater treats them as one
// file: every letter that has a plain upper and lower case is folded to its upper case
// (across Unicode, in UTF-8); letters whose upper case folds back to another letter (the long
// s, the dotless i) and bytes that are not UTF-8 stay themselves. The operator's tools use the
// same function, so that what they call distinct the updater keeps apart.
std::string FoldedName(const std::string& name);

// The length of a name as the system counts it for its path limit: UTF-16 units on Windows,
// bytes elsewhere.
size_t NativeNameLength(std::string_view name);

// The longest path the system opens, in those units without the terminating NUL: MAX_PATH - 1
// on Windows, PATH_MAX - 1 elsewhere.
size_t LongestNativePath();

// Case-insensitive resolution for a job that looks up many names below one directory (an
// extraction): each directory is read once, on first use, and the job reports what it
// creates, so that every later lookup costs a hash probe instead of a directory scan. Changes
// that others make meanwhile are not seen.
class FolderIndex {
  public:
    struct Component {
        std::string name;  // as it exists, or as given when it does not
        bool exists = false;
        bool symbolicLink = false;
    };

    FolderIndex();
    ~FolderIndex();
    FolderIndex(const FolderIndex&) = delete;
    FolderIndex& operator=(const FolderIndex&) = delete;

    // Resolves components (no separators, no "." or "..") below the native directory root,
    // as NativePath would: an exact match first, then one ignoring case (the smallest in byte
    // order); everything below a missing component is missing.
    std::vector<Component> Resolve(const std::string& root,
                                   const std::vector<std::string>& components);

    // The job created the directory native (its parent is the directory named by the rest):
    // it is known to be empty, and its parent now holds it.
    void AddedDirectory(const std::string& native);
    // The job created the file native.
    void AddedFile(const std::string& native);
    // Forgets every folder read so far (a new job begins).
    void Clear();

  private:
    struct Folder;
    Folder& Load(const std::string& directory);
    void Added(const std::string& native, bool directory);

    std::unordered_map<std::string, std::unique_ptr<Folder>> folders_;
};

}  // namespace korvun
