// The checks both programs run before they open their window: another updater, the running
// game, DirectX 9.
#pragma once

#include "app/message_box.h"
#include "platform/named_mutex.h"

namespace korvun {

// The name both programs lock, so that the desktop and the console updater exclude each other.
constexpr const char* kSingleInstanceMutexName = "Korvun Updater";

// The first check that failed, or Passed.
enum class StartupCheckResult {
    Passed,
    UpdaterRunning,   // c01
    GameRunning,      // c02
    DirectX9Missing,  // c03
};

// True when d3d9.dll is in the Wine prefix's system directory; only its presence counts.
bool IsDirectX9Installed();

// Runs the checks in their fixed order: the single-instance mutex (the caller creates it with
// kSingleInstanceMutexName and keeps it for the life of the process, also when a check fails),
// a game window of class "GAME" titled "Korvun", DirectX 9. The first failure is shown with
// present(ComposeMessage(code), kAppTitle) and returned; the later checks are not run.
// A front-end calls it once at start and ends the process unless it returns Passed:
//
//     NamedMutex mutex(kSingleInstanceMutexName);
//     if (RunStartupChecks(mutex, present) != StartupCheckResult::Passed) return exitCode;
StartupCheckResult RunStartupChecks(const NamedMutex& mutex, const MessageBoxPresenter& present);

}  // namespace korvun
