#include "zip/zip_paths.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/directories.h"
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

bool IsWithin(const std::string& path, const std::string& root) {
    if (path == root) return true;
    if (root == "/") return !path.empty() && path.front() == '/';
    return path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
           path[root.size()] == '/';
}

// Every existing component of target below root that is a symbolic link must resolve to a
// place inside root; a dangling link is refused since creating through it would put the
// file wherever it points.
bool StaysWithin(const std::string& root, const std::vector<FolderIndex::Component>& components) {
    std::string realRoot;
    std::string path = root;
    for (const FolderIndex::Component& component : components) {
        path = Join(path, component.name);
        if (!component.exists) return true;  // the rest is created by us
        if (!component.symbolicLink) continue;
        if (realRoot.empty()) realRoot = RealPath(root);
        const std::string real = RealPath(path);
        if (real.empty() || realRoot.empty() || !IsWithin(real, realRoot)) return false;
    }
    return true;
}

}  // namespace

int PathKind(const std::string& path) { return NativePathKind(NativePath(path)); }

bool MakeDirectoryPath(const std::string& path) {
    std::string directory = WithoutTrailingSeparators(NativePath(path));
    if (directory.empty() || directory == "/" || PathKind(directory) == -1) return true;
    std::string parent = ParentOf(directory);
    if (parent != directory && parent != "." && !MakeDirectoryPath(parent)) return false;
    return MakeDirectory(directory);
}

std::vector<std::string> EntryComponents(const std::string& name, bool keepPath, bool* refused) {
    *refused = false;
    std::vector<std::string> components;
    if (name.find('\0') != std::string::npos) {
        *refused = true;
        return components;
    }
    // The drive of a stored name is always dropped; so are leading separators.
    std::string relative = name;
    if (relative.size() >= 2 && relative[1] == ':') relative.erase(0, 2);
    if (!keepPath) {
        auto separator = std::find_if(relative.rbegin(), relative.rend(), IsSeparator);
        relative.erase(relative.begin(), separator.base());
    }
    for (std::string& component : Components(relative)) {
        if (component == "..") {
            *refused = true;
            components.clear();
            return components;
        }
        if (component.empty() || component == ".") continue;
        components.push_back(std::move(component));
    }
    return components;
}

EntryTarget ResolveEntryTarget(const std::string& destRoot, const std::string& name, bool keepPath,
                               FolderIndex* index) {
    EntryTarget target;
    bool refused = false;
    std::vector<std::string> components = EntryComponents(name, keepPath, &refused);
    if (refused) return target;

    const std::string trimmed = WithoutTrailingSeparators(destRoot);
    const std::string root = NativePath(trimmed.empty() ? std::string(".") : trimmed);
    if (components.empty()) {
        target.kind = EntryTarget::Kind::Root;
        target.path = target.parent = root;
        return target;
    }

    FolderIndex ownIndex;
    std::vector<FolderIndex::Component> resolved =
        (index != nullptr ? *index : ownIndex).Resolve(root, components);
    if (!StaysWithin(root, resolved)) return target;

    std::string native = root;
    for (const FolderIndex::Component& component : resolved) {
        native = Join(native, component.name);
        if (!component.exists) target.missing.push_back(native);
    }
    target.kind = EntryTarget::Kind::Path;
    target.path = native;
    target.parent = ParentOf(native);
    return target;
}

bool MakeTargetDirectories(const EntryTarget& target, bool itself, FolderIndex& index) {
    for (const std::string& directory : target.missing) {
        if (!itself && directory == target.path) break;
        if (CreateNewDirectory(directory)) {
            index.AddedDirectory(directory);
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return NativePathKind(itself ? target.path : target.parent) == -1;
}

}  // namespace korvun
