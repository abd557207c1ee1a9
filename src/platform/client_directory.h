// The game client a run works on: its directory, and the paths of the files in it. The engine
// opens nothing by a relative name, so that it does not depend on the process's current
// directory: two clients can be updated side by side in one process, and a launcher can point
// the engine at any client. The front-ends make the value from where the player started them.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace korvun {

class ClientDirectory {
  public:
    // root: the directory, absolute or relative to the current directory as it is now.
    explicit ClientDirectory(std::string root) : root_(std::move(root)) {
        while (root_.size() > 1 && (root_.back() == '/' || root_.back() == '\\')) root_.pop_back();
        if (root_.empty()) root_ = ".";
    }

    const std::string& Root() const { return root_; }

    // The path of a file of the client given by its name in the client's own form (".\\a",
    // "a\\b", "a/b"); a Windows-style name stays one for the platform's name resolution. A name
    // that is a path already ("/dev/full", "C:\\x") is kept as it is.
    std::string Path(std::string_view name) const {
        if (IsAbsolute(name)) return std::string(name);
        while (name.size() >= 2 && name[0] == '.' && (name[1] == '\\' || name[1] == '/')) {
            name.remove_prefix(2);
        }
        std::string path = root_;
        if (path.back() != '/' && path.back() != '\\') path.push_back('/');
        path.append(name);
        return path;
    }

  private:
    static bool IsAbsolute(std::string_view name) {
        return (!name.empty() && (name[0] == '/' || name[0] == '\\')) ||
               (name.size() >= 2 && name[1] == ':');
    }

    std::string root_;
};

}  // namespace korvun
