#include "platform/win_path.h"

#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <vector>

namespace korvun {

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Windows compares names by their upper-case form. Names are UTF-8 here, so decode each code
// point and fold it with the C.UTF-8 locale's mapping; bytes that are not valid UTF-8 compare
// as themselves.
locale_t FoldingLocale() {
    static locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return locale;
}

std::vector<wint_t> FoldCase(const std::string& name) {
    std::vector<wint_t> folded;
    folded.reserve(name.size());
    locale_t locale = FoldingLocale();
    size_t i = 0;
    while (i < name.size()) {
        auto byte = static_cast<unsigned char>(name[i]);
        wint_t codePoint = byte;
        size_t length = 1;
        if (byte >= 0xC0 && byte < 0xF8) {
            length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            codePoint = byte & (0x7F >> length);
            bool valid = i + length <= name.size();
            for (size_t k = 1; valid && k < length; ++k) {
                auto next = static_cast<unsigned char>(name[i + k]);
                valid = (next & 0xC0) == 0x80;
                codePoint = (codePoint << 6) | (next & 0x3F);
            }
            if (!valid) {
                // Marked so that a stray byte never equals a decoded character.
                codePoint = 0x80000000u | byte;
                length = 1;
            }
        } else if (byte >= 0x80) {
            codePoint = 0x80000000u | byte;
        }
        if (codePoint < 0x80) {
            codePoint = (codePoint >= 'a' && codePoint <= 'z') ? codePoint - 32 : codePoint;
        } else if (locale != nullptr && codePoint < 0x80000000u) {
            codePoint = ::towupper_l(codePoint, locale);
        }
        folded.push_back(codePoint);
        i += length;
    }
    return folded;
}

// The entry of directory whose name equals component ignoring case; empty when none. With
// several candidates (possible only on a case-sensitive file system) the smallest name in
// byte order wins, so the choice does not depend on the directory's order.
bool IsAscii(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}

// Extraction looks up every new file in a directory that may hold thousands of names, so
// plain ASCII pairs, by far the most common, are compared without decoding or allocating.
bool SameNameIgnoringCase(const std::string& component, bool componentAscii,
                          const std::vector<wint_t>& folded, const char* candidate) {
    size_t length = std::strlen(candidate);
    if (componentAscii && IsAscii(candidate, length)) {
        return length == component.size() && ::strcasecmp(candidate, component.c_str()) == 0;
    }
    return FoldCase(candidate) == folded;
}

std::string FindEntryIgnoringCase(const std::string& directory, const std::string& component) {
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return {};
    const std::vector<wint_t> wanted = FoldCase(component);
    const bool componentAscii = IsAscii(component.data(), component.size());
    std::string best;
    while (const dirent* entry = ::readdir(dir)) {
        const char* candidate = entry->d_name;
        if (std::strcmp(candidate, ".") == 0 || std::strcmp(candidate, "..") == 0) continue;
        if (!SameNameIgnoringCase(component, componentAscii, wanted, candidate)) continue;
        if (best.empty() || candidate < best) best = candidate;
    }
    ::closedir(dir);
    return best;
}

std::string Join(const std::string& prefix, const std::string& component) {
    if (prefix.empty()) return component;
    if (prefix.back() == '/') return prefix + component;
    return prefix + "/" + component;
}

}  // namespace

std::string NativePath(const std::string& name) {
    std::string slashed = name;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    // The common case, a name whose every component exists in the given case, costs one call.
    if (slashed.empty() || Exists(slashed)) return slashed;

    const bool absolute = slashed.front() == '/';
    const bool trailingSlash = slashed.back() == '/';
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= slashed.size()) {
        size_t end = slashed.find('/', start);
        if (end == std::string::npos) end = slashed.size();
        if (end > start) components.push_back(slashed.substr(start, end - start));
        start = end + 1;
    }
    if (components.empty()) return slashed;

    // Find the deepest prefix that exists as given; usually the parent directory, so a new
    // file in an existing directory costs one stat and one directory scan.
    auto prefixOf = [&](size_t count) {
        std::string prefix;
        if (absolute) prefix.push_back('/');
        for (size_t i = 0; i < count; ++i) prefix = Join(prefix, components[i]);
        return prefix;
    };
    size_t resolved = components.size() - 1;  // the whole name is known to be missing
    std::string path;
    while (resolved > 0) {
        path = prefixOf(resolved);
        if (Exists(path)) break;
        --resolved;
    }
    if (resolved == 0) {
        path.clear();
        if (absolute) path.push_back('/');
    }

    bool parentExists = true;
    for (size_t i = resolved; i < components.size(); ++i) {
        const std::string& component = components[i];
        if (parentExists && component != "." && component != "..") {
            std::string match = FindEntryIgnoringCase(path, component);
            if (!match.empty()) {
                path = Join(path, match);
                continue;
            }
            // Nothing below a missing directory can exist; the rest keeps the given case.
            parentExists = false;
        }
        path = Join(path, component);
    }
    if (trailingSlash && !path.empty() && path.back() != '/') path += '/';
    return path;
}

}  // namespace korvun
