#include "zip/zip_paths.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/win_path.h"

namespace korvun {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
    return path;
}

std::string ParentOf(const std::string& native) {
    auto slash = native.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

std::string Join(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = start;
        while (end < relative.size() && !IsSeparator(relative[end])) ++end;
        components.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return {};
    return resolved;
}

bool IsWithin(const std::string& path, const std::string& root) {
    if (path == root) return true;
    if (root == "/") return !path.empty() && path.front() == '/';
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
           path[root.size()] == '/';
}

// Every existing component of target below root that is a symbolic link must resolve to a
// place inside root; a dangling link is refused since creating through it would put the
// file wherever it points.
bool StaysWithin(const std::string& root, const std::vector<std::string>& components) {
    const std::string realRoot = RealPath(root);
    std::string path = root;
    for (const std::string& component : components) {
        path = Join(path, component);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return true;  // the rest is created by us
        if (!S_ISLNK(st.st_mode)) continue;
        const std::string real = RealPath(path);
        if (real.empty() || realRoot.empty() || !IsWithin(real, realRoot)) return false;
    }
    return true;
}

}  // namespace

int PathKind(const std::string& path) {
    struct stat st;
    if (::stat(NativePath(path).c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? -1 : 1;
}

bool MakeDirectoryPath(const std::string& path) {
    std::string directory = WithoutTrailingSeparators(NativePath(path));
    if (directory.empty() || directory == "/" || PathKind(directory) == -1) return true;
    std::string parent = ParentOf(directory);
    if (parent != directory && parent != "." && !MakeDirectoryPath(parent)) return false;
    return ::mkdir(directory.c_str(), 0755) == 0 || (errno == EEXIST && PathKind(directory) == -1);
}

EntryTarget ResolveEntryTarget(const std::string& destRoot, const std::string& name,
                               bool keepPath) {
    EntryTarget target;
    if (name.find('\0') != std::string::npos) return target;

    // The drive of a stored name is always dropped; so are leading separators.
    std::string relative = name;
    if (relative.size() >= 2 && relative[1] == ':') relative.erase(0, 2);
    if (!keepPath) {
        auto separator = std::find_if(relative.rbegin(), relative.rend(), IsSeparator);
        relative.erase(relative.begin(), separator.base());
    }
    std::vector<std::string> components;
    for (std::string& component : Components(relative)) {
        if (component == "..") return target;
        if (component.empty() || component == ".") continue;
        components.push_back(std::move(component));
    }

    const std::string trimmed = WithoutTrailingSeparators(destRoot);
    const std::string root = NativePath(trimmed.empty() ? std::string(".") : trimmed);
    if (components.empty()) {
        target.kind = EntryTarget::Kind::Root;
        target.path = target.parent = root;
        return target;
    }

    std::string joined = root;
    for (const std::string& component : components) joined = Join(joined, component);
    std::string native = NativePath(joined);
    // The case-insensitive match only ever picks names inside the directories it walks, so
    // the destination stays the prefix; anything else is not trusted.
    if (!IsWithin(native, root) || native == root) return target;
    std::vector<std::string> resolved;
    for (std::string& component : Components(native.substr(root.size() + (root == "/" ? 0 : 1)))) {
        if (!component.empty()) resolved.push_back(std::move(component));
    }
    if (!StaysWithin(root, resolved)) return target;

    target.kind = EntryTarget::Kind::Path;
    target.path = native;
    target.parent = ParentOf(native);
    return target;
}

}  // namespace korvun
