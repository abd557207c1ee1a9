// A worker thread object: Start() runs Run() on a new thread; IsRunning() stands for a
// thread handle that is not -1 and turns false when Run() has returned.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace korvun {

class CThreadBase {
  public:
    CThreadBase() = default;
    virtual ~CThreadBase();
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    // False when a thread is already running or could not be started.
    bool StartThread();
    bool IsRunning() const { return running_.load(); }
    // Waits until Run() has returned; call before the derived object's members go away.
    void Join();

  protected:
    virtual void Run() = 0;
    // Called on the thread when Run() let an exception escape; what describes it. Nothing
    // escapes the thread: an exception there would end the whole process.
    virtual void OnUnexpectedException(const char* what) noexcept = 0;

  private:
    static void EntryPoint(CThreadBase* self);

    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace korvun
