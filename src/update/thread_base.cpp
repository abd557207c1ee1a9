#include "update/thread_base.h"

#include <exception>
#include <system_error>

namespace korvun {

CThreadBase::~CThreadBase() { Join(); }

bool CThreadBase::StartThread() {
    if (running_.load()) return false;
    // A previous run has ended; its thread object still has to be joined before reuse.
    if (thread_.joinable()) thread_.join();
    running_ = true;
    try {
        thread_ = std::thread(&CThreadBase::EntryPoint, this);
    } catch (const std::system_error&) {
        running_ = false;
        return false;
    }
    return true;
}

void CThreadBase::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CThreadBase::EntryPoint(CThreadBase* self) {
    try {
        self->Run();
    } catch (const std::exception& error) {
        self->OnUnexpectedException(error.what());
    } catch (...) {
        self->OnUnexpectedException("unknown exception");
    }
    self->running_ = false;
}

}  // namespace korvun
