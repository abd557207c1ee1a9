// A window and state markers for library code run where nothing is shown and no Version.ini
// exists: the operator's tool, benchmarks, fuzz harnesses.
#pragma once

#include <string>

#include "app/state_markers.h"
#include "app/updater_window.h"

namespace korvun {

// Draws nothing; keeps the last status line, where the library leaves its failure message.
class QuietWindow : public UpdaterWindow {
  public:
    const std::string& Status() const { return status_; }

  protected:
    void SetFieldText(TextField field, const std::string& text) override {
        if (field == TextField::Status) status_ = text;
    }
    void MoveStatusLineUp() override {}
    void PaintGauge(GaugeId, bool, int) override {}
    void EnableStartButton(bool) override {}
    void DoRequestClose() override {}

  private:
    std::string status_;
};

// Markers that record nothing, for archives that are not a player's installation.
class NoStateMarkers : public StateMarkers {
  public:
    bool MarkExtractStart() override { return true; }
    bool MarkExtractEnd() override { return true; }
    bool MarkUpdateStart() override { return true; }
    bool MarkUpdateEnd() override { return true; }
    bool ClearStateMarker() override { return true; }
};

}  // namespace korvun
