#include "platform/win_path.h"

#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <vector>

#include "platform/name_folding.h"

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

// Only letters of a plain upper/lower pair fold. The long s and the dotless i have an ASCII
// upper case, yet they are other letters: folding them would let "Verſion.ini" stand for
// "Version.ini".
uint32_t FoldCodePoint(uint32_t codePoint) {
    locale_t locale = FoldingLocale();
    if (locale == nullptr) return codePoint;
    auto upper = static_cast<uint32_t>(::towupper_l(codePoint, locale));
    if (upper == codePoint || ::towlower_l(upper, locale) != codePoint) return codePoint;
    return upper;
}

std::string FoldCase(const std::string& name) { return FoldUtf8(name, FoldCodePoint); }

bool IsAscii(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}

// Extraction looks up every new file in a directory that may hold thousands of names, so
// plain ASCII pairs, by far the most common, are compared without decoding or allocating.
bool SameNameIgnoringCase(const std::string& component, bool componentAscii,
                          const std::string& folded, const char* candidate) {
    size_t length = std::strlen(candidate);
    if (componentAscii && IsAscii(candidate, length)) {
        return length == component.size() && ::strcasecmp(candidate, component.c_str()) == 0;
    }
    return FoldCase(candidate) == folded;
}

// The entry of directory whose name equals component ignoring case; empty when none. With
// several candidates (possible only on a case-sensitive file system) the smallest name in
// byte order wins, so the choice does not depend on the directory's order.
std::string FindEntryIgnoringCase(const std::string& directory, const std::string& component) {
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return {};
    const std::string wanted = FoldCase(component);
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

void AppendComponent(std::string& path, const std::string& component) {
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path += component;
}

}  // namespace

size_t NativeNameLength(std::string_view name) { return name.size(); }

size_t LongestNativePath() { return 4095; }

std::string NativePath(const std::string& name) {
    std::string slashed = name;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    // The common case, a name whose every component exists in the given case, costs one call.
    if (slashed.empty() || Exists(slashed)) return slashed;

    const bool absolute = slashed.front() == '/';
    const bool trailingSlash = slashed.back() == '/';
    std::vector<std::string> components;
    // prefixEnds[k]: where the first k components end in slashed, so a prefix is a substring
    // and a deep name costs no rebuilding.
    std::vector<size_t> prefixEnds = {0};
    size_t start = 0;
    while (start <= slashed.size()) {
        size_t end = slashed.find('/', start);
        if (end == std::string::npos) end = slashed.size();
        if (end > start) {
            components.push_back(slashed.substr(start, end - start));
            prefixEnds.push_back(end);
        }
        start = end + 1;
    }
    if (components.empty()) return slashed;

    // The deepest prefix that exists as given (usually the parent directory). Every shorter
    // prefix of an existing one exists too, so a binary search finds it in a few calls even for
    // a name thousands of levels deep.
    size_t low = 0;                   // known to exist (0: the start)
    size_t high = components.size();  // known to be missing
    while (high - low > 1) {
        size_t middle = low + (high - low) / 2;
        if (Exists(slashed.substr(0, prefixEnds[middle]))) {
            low = middle;
        } else {
            high = middle;
        }
    }
    size_t resolved = low;
    std::string path;
    if (resolved > 0) {
        path = slashed.substr(0, prefixEnds[resolved]);
    } else if (absolute) {
        path.push_back('/');
    }

    bool parentExists = true;
    for (size_t i = resolved; i < components.size(); ++i) {
        const std::string& component = components[i];
        if (parentExists && component != "." && component != "..") {
            std::string match = FindEntryIgnoringCase(path, component);
            if (!match.empty()) {
                AppendComponent(path, match);
                continue;
            }
            // Nothing below a missing directory can exist; the rest keeps the given case.
            parentExists = false;
        }
        AppendComponent(path, component);
    }
    if (trailingSlash && !path.empty() && path.back() != '/') path += '/';
    return path;
}

std::string FoldedName(const std::string& name) { return FoldCase(name); }

struct FolderIndex::Folder {
    struct Name {
        std::string name;
        bool symbolicLink = false;
    };
    std::unordered_map<std::string, bool> exact;  // name -> is a symbolic link
    std::unordered_map<std::string, Name> folded;
};

FolderIndex::FolderIndex() = default;
FolderIndex::~FolderIndex() = default;

void FolderIndex::Clear() { folders_.clear(); }

FolderIndex::Folder& FolderIndex::Load(const std::string& directory) {
    std::unique_ptr<Folder>& slot = folders_[directory];
    if (slot) return *slot;
    slot = std::make_unique<Folder>();
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return *slot;  // not a directory (yet): nothing below it exists
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool link = entry->d_type == DT_LNK;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            std::string full = directory;
            AppendComponent(full, name);
            link = ::lstat(full.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        }
        slot->exact[name] = link;
        Folder::Name& best = slot->folded[FoldCase(name)];
        if (best.name.empty() || name < best.name) best = {name, link};
    }
    ::closedir(dir);
    return *slot;
}

std::vector<FolderIndex::Component> FolderIndex::Resolve(
    const std::string& root, const std::vector<std::string>& components) {
    std::vector<Component> resolved;
    resolved.reserve(components.size());
    std::string path = root;
    bool parentExists = true;
    for (const std::string& given : components) {
        Component component{given, false, false};
        if (parentExists) {
            Folder& folder = Load(path);
            if (auto exact = folder.exact.find(given); exact != folder.exact.end()) {
                component = {given, true, exact->second};
            } else if (auto match = folder.folded.find(FoldCase(given));
                       match != folder.folded.end()) {
                component = {match->second.name, true, match->second.symbolicLink};
            }
            parentExists = component.exists;
        }
        AppendComponent(path, component.name);
        resolved.push_back(std::move(component));
    }
    return resolved;
}

void FolderIndex::Added(const std::string& native, bool directory) {
    size_t slash = native.find_last_of('/');
    // The root's own parent keeps its slash: "/x" lies in "/".
    std::string parent =
        slash == std::string::npos ? std::string() : native.substr(0, slash == 0 ? 1 : slash);
    std::string name = slash == std::string::npos ? native : native.substr(slash + 1);
    if (auto found = folders_.find(parent); found != folders_.end()) {
        found->second->exact[name] = false;
        Folder::Name& best = found->second->folded[FoldCase(name)];
        if (best.name.empty() || name < best.name) best = {name, false};
    }
    if (directory) folders_[native] = std::make_unique<Folder>();
}

void FolderIndex::AddedDirectory(const std::string& native) { Added(native, true); }
void FolderIndex::AddedFile(const std::string& native) { Added(native, false); }

}  // namespace korvun
