// Small pieces the operator commands share: case folding as the client's file system and archive
// do it, and durable whole-file writes for what a server publishes.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "archive/state_markers.h"
#include "zip/zip_exception.h"

namespace korvun::tool {

// Folds ASCII letters only, as the archive's name comparison does; other bytes stay as they
// are. Names on disk fold across Unicode: FoldedName (platform/win_path.h) is the updater's own.
std::string FoldCase(std::string_view text);

// True for a top-level file the updater keeps for itself in a game directory (Version.ini,
// CONFIG.ini, UpdaterURL.txt, UpdateVersion.ini, UpdateVersion-tov-.ini, new_updater.exe).
// These say which server a client uses and what it has installed; they are not game content.
bool IsBookkeepingFile(std::string_view relativePath);

// Writes content to path through a temporary file in the same directory, flushed and renamed
// over path, so readers see the old file or the new one. False with a reason in error.
bool WriteFileAtomically(const std::string& path, std::string_view content, std::string& error);

// Copies from to a temporary file beside to and flushes it; returns the temporary name, or
// an empty string with a reason in error. The caller renames or links it into place.
// onCopied, when given, hears of every piece copied (its length in bytes).
std::string CopyToTemporary(const std::string& from, const std::string& to, std::string& error,
                            const std::function<void(uint64_t)>& onCopied = {});

// A raise of the package reader as operators read it: "<sentence> (cause N)".
std::string DescribeZipError(const CZipException& error);

// Byte-for-byte comparison of two files; false also when either cannot be read.
bool SameFileContent(const std::string& a, const std::string& b);

}  // namespace korvun::tool
