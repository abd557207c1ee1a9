#include "platform/directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

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

}  // namespace korvun
