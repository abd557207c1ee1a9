#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace korvun {

namespace {

std::string LockFilePath(const std::string& name) {
    std::string fileName;
    for (char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.';
        fileName += plain ? c : '_';
    }
    if (const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR"); runtimeDir && *runtimeDir) {
        return std::string(runtimeDir) + "/" + fileName + ".lock";
    }
    // /tmp is shared by every user; the user id keeps one user's updater from locking out
    // another's, as the desktop's per-session names would.
    return "/tmp/" + fileName + "-" + std::to_string(::getuid()) + ".lock";
}

}  // namespace

NamedMutex::NamedMutex(const std::string& name) {
    // Close-on-exec: a program started by the updater (the game, a new updater) must not keep
    // the lock alive after the updater has ended.
    fd_ = ::open(LockFilePath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        // Creating the mutex is not checked on the desktop either: without a lock file the
        // program runs unguarded rather than not at all.
        acquired_ = true;
        return;
    }
    int result;
    do {
        result = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    acquired_ = result == 0 || errno != EWOULDBLOCK;
}

NamedMutex::~NamedMutex() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace korvun
