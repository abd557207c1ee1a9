// How the window starts its worker's thread and sees that it has ended.
#pragma once

#include "update/update_thread.h"

namespace korvun {

// Starts the worker's run on its own thread; false when it could not be started (the
// window then shows "start thread error").
bool StartWorker(CUpdateThread& worker);

// True while the worker's thread runs (its thread handle is not -1).
bool IsWorkerRunning(const CUpdateThread& worker);

}  // namespace korvun
