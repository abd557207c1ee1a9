#include <windows.h>

#include "platform/named_mutex.h"
#include "platform/wide.h"

namespace korvun {

NamedMutex::NamedMutex(const std::string& name) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, Widen(name).c_str());
    // A mutex that cannot be made leaves the program unguarded rather than not running.
    acquired_ = mutex == nullptr || GetLastError() != ERROR_ALREADY_EXISTS;
    handle_ = mutex;
}

NamedMutex::~NamedMutex() {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace korvun
