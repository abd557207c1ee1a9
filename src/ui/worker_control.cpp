#include "ui/worker_control.h"

namespace korvun {

bool StartWorker(CUpdateThread& worker) { return worker.Start(); }

bool IsWorkerRunning(const CUpdateThread& worker) { return worker.IsRunning(); }

}  // namespace korvun
