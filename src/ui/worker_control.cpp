#include "ui/worker_control.h"

namespace korvun {

// The worker does not carry its thread yet: it cannot be started, and so never runs.
bool StartWorker(CUpdateThread&) { return false; }

bool IsWorkerRunning(const CUpdateThread&) { return false; }

}  // namespace korvun
