// A system-wide named lock held for the life of the process.
#pragma once

#include <string>

namespace korvun {

class NamedMutex {
  public:
    // Windows: CreateMutexW with the name. Elsewhere: takes an flock on a lock file named after
    // name in $XDG_RUNTIME_DIR (else /tmp, with the user id in the file name). The descriptor is
    // close-on-exec: programs the updater starts do not inherit the lock.
    explicit NamedMutex(const std::string& name);
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // False when another process holds the lock (ERROR_ALREADY_EXISTS).
    bool Acquired() const { return acquired_; }

  private:
#ifdef _WIN32
    void* handle_ = nullptr;  // the mutex object's HANDLE
#else
    int fd_ = -1;
#endif
    bool acquired_ = false;
};

}  // namespace korvun
