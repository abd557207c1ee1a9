#include "platform/directories.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace korvun {

int NativePathKind(const std::string& native) {
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? -1 : 1;
}

bool MakeDirectory(const std::string& native) {
    return ::mkdir(native.c_str(), 0755) == 0 || (errno == EEXIST && NativePathKind(native) == -1);
}

bool CreateNewDirectory(const std::string& native) { return ::mkdir(native.c_str(), 0755) == 0; }

bool ChangeDirectory(const std::string& native) { return ::chdir(native.c_str()) == 0; }

std::string RealPath(const std::string& native) {
    char resolved[PATH_MAX];
    if (::realpath(native.c_str(), resolved) == nullptr) return {};
    return resolved;
}

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::vector<std::string> DirectoryNames(const std::string& native) {
    std::vector<std::string> names;
    DIR* directory = ::opendir(native.c_str());
    if (directory == nullptr) return names;
    while (dirent* item = ::readdir(directory)) {
        std::string name = item->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(directory);
    return names;
}

}  // namespace korvun
