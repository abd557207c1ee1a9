#include <windows.h>

#include "platform/wide.h"
#include "platform/win_path.h"

namespace korvun {

namespace {

// NTFS compares names by their upper-case form, one UTF-16 unit at a time; so do we, for the
// letters of a plain upper/lower pair (see FoldedName).
uint32_t FoldCodePoint(uint32_t codePoint) {
    if (codePoint < 0x80) {
        return (codePoint >= 'a' && codePoint <= 'z') ? codePoint - 32 : codePoint;
    }
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

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

}  // namespace

// Windows file systems match names without regard to case and take both separators.
std::string NativePath(const std::string& name) { return name; }

std::string FoldedName(const std::string& name) {
    std::string folded;
    folded.reserve(name.size());
    size_t i = 0;
    while (i < name.size()) {
        auto byte = static_cast<unsigned char>(name[i]);
        uint32_t codePoint = byte;
        size_t length = 1;
        bool valid = byte < 0x80;
        if (byte >= 0xC0 && byte < 0xF8) {
            length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            codePoint = byte & (0x7F >> length);
            valid = i + length <= name.size();
            for (size_t k = 1; valid && k < length; ++k) {
                auto next = static_cast<unsigned char>(name[i + k]);
                valid = (next & 0xC0) == 0x80;
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
            valid = valid && codePoint < 0x110000;
        }
        if (!valid) {
            // 0xFF never occurs in UTF-8, so a stray byte never equals a decoded character.
            folded.push_back('\xFF');
            folded.push_back(static_cast<char>(byte));
            ++i;
            continue;
        }
        AppendUtf8(folded, FoldCodePoint(codePoint));
        i += length;
    }
    return folded;
}

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
