#include <windows.h>

#include "platform/name_folding.h"
#include "platform/wide.h"
#include "platform/win_path.h"

namespace korvun {

namespace {

// NTFS compares names by their upper-case form, one UTF-16 unit at a time; so do we, for the
// letters of a plain upper/lower pair (see FoldedName).
uint32_t FoldCodePoint(uint32_t codePoint) {
    if (codePoint >= 0x10000 || (codePoint >= 0xD800 && codePoint < 0xE000)) return codePoint;
    wchar_t upper = static_cast<wchar_t>(codePoint);
    CharUpperBuffW(&upper, 1);
    wchar_t lower = upper;
    CharLowerBuffW(&lower, 1);
    if (upper == static_cast<wchar_t>(codePoint) || lower != static_cast<wchar_t>(codePoint)) {
        return codePoint;
    }
    return upper;
}

}  // namespace

// Windows file systems match names without regard to case and take both separators.
std::string NativePath(const std::string& name) { return name; }

std::string FoldedName(const std::string& name) { return FoldUtf8(name, FoldCodePoint); }

size_t NativeNameLength(std::string_view name) {
    size_t units = 0;
    for (unsigned char c : name) {
        // One unit per UTF-8 lead byte, two for the four-byte ones (a surrogate pair).
        if ((c & 0xC0) != 0x80) ++units;
        if ((c & 0xF8) == 0xF0) ++units;
    }
    return units;
}

size_t LongestNativePath() { return MAX_PATH - 1; }

// The file system already resolves names ignoring case, so there is nothing to cache: each
// component is asked for as given.
struct FolderIndex::Folder {};

FolderIndex::FolderIndex() = default;
FolderIndex::~FolderIndex() = default;

void FolderIndex::Clear() { folders_.clear(); }

std::vector<FolderIndex::Component> FolderIndex::Resolve(
    const std::string& root, const std::vector<std::string>& components) {
    std::vector<Component> resolved;
    std::string path = root;
    bool missing = false;
    for (const std::string& name : components) {
        path += "/" + name;
        Component component{name};
        if (!missing) {
            DWORD attributes = GetFileAttributesW(Widen(path).c_str());
            component.exists = attributes != INVALID_FILE_ATTRIBUTES;
            component.symbolicLink =
                component.exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            missing = !component.exists;
        }
        resolved.push_back(std::move(component));
    }
    return resolved;
}

void FolderIndex::AddedDirectory(const std::string&) {}
void FolderIndex::AddedFile(const std::string&) {}

}  // namespace korvun
