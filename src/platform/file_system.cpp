#include "platform/file_system.h"

#include <atomic>

namespace korvun {

namespace {

// Read by every file operation of every thread; an atomic pointer costs no more than a plain
// one to read, and a test that installs its wrapper need not think about ordering.
std::atomic<FileSystem*>& Installed() {
    static std::atomic<FileSystem*> installed{&SystemFileSystem()};
    return installed;
}

}  // namespace

FileSystem& SystemFileSystem() {
    static NativeFileSystem native;
    return native;
}

FileSystem& CurrentFileSystem() { return *Installed().load(std::memory_order_acquire); }

FileSystem& InstallFileSystem(FileSystem* fileSystem) {
    FileSystem* next = fileSystem != nullptr ? fileSystem : &SystemFileSystem();
    return *Installed().exchange(next, std::memory_order_acq_rel);
}

}  // namespace korvun
