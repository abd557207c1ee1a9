// Applying a downloaded patch package: extraction into the game directory, the merge of the
// update archive it carries, the recorded version; and the deletion list at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/run_events.h"
#include "archive/game_archive.h"
#include "archive/state_markers.h"
#include "platform/client_directory.h"
#include "platform/stop_event.h"
#include "update/run_report.h"
#include "zip/extract_package.h"

namespace korvun {

// The player's message for how a merge ended: success when it merged, a failure without text
// when it was stopped.
Status MergeStatus(const MergeResult& merged);

class CPatchApplication {
  public:
    // hasFreeSpace answers whether the game directory's volume has more than that many bytes.
    CPatchApplication(RunEvents& events, RunReport& report, StateMarkers& markers,
                      const StopEvent& stop, std::function<bool(uint64_t)> hasFreeSpace,
                      ClientDirectory client);
    ~CPatchApplication();
    CPatchApplication(const CPatchApplication&) = delete;
    CPatchApplication& operator=(const CPatchApplication&) = delete;

    // Extracts package `version` (packageSize bytes) into the client's directory, merges its
    // update archive and records the version; false when the run must end (its message shown,
    // or stopped).
    bool ApplyPatch(uint32_t version, uint64_t packageSize);
    // The deletion step after the last package, when an archive was merged or delete.lst
    // exists; false when it failed (nothing is shown).
    bool ApplyDeleteList();
    // Finishes or undoes an archive change that a previous run left half done (its journal
    // is present), so that the client counts as having the package before it.
    void RecoverArchiveChange();

  private:
    ExtractResult ExtractCurrentPackage(const std::string& packagePath);
    bool MergeUpdateArchive();

    RunEvents& events_;
    RunReport& report_;
    StateMarkers& markers_;
    const StopEvent& stop_;
    std::function<bool(uint64_t)> hasFreeSpace_;
    ClientDirectory client_;
    bool archiveMerged_ = false;
};

}  // namespace korvun
