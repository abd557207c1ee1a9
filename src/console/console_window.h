// The updater window on a terminal: one live line with the status text, both progress bars,
// the byte counter and the speed, redrawn at most ten times a second; without a terminal,
// plain lines, one per status change.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/updater_window.h"

namespace korvun {

class ConsoleWindow : public UpdaterWindow {
  public:
    // live: draw the live line (a terminal); otherwise print plain lines.
    ConsoleWindow(std::FILE* out, bool live, const Clock& clock = SteadyClock());

    // Called by the main thread while it waits: redraws the live line when something
    // changed and 0.1 s have passed since the last drawing.
    void Tick();
    // Draws the final state and ends the live line.
    void Finish();

    // Waits until a change was recorded or the timeout passed.
    void WaitForChange(unsigned timeoutMs);

  protected:
    void SetFieldText(TextField field, const std::string& text) override;
    void MoveStatusLineUp() override;
    void PaintGauge(GaugeId gauge, bool withBackground, int fillWidth) override;
    void EnableStartButton(bool enabled) override;
    void DoRequestClose() override;
    void OnRunEnded() override;

  private:
    // Steps in which a gauge's change is noticed; a bar has at most 20 cells.
    static constexpr int kGaugeSteps = 1000;

    void DrawLiveLine();  // with mutex_ held
    static std::string Bar(double fraction, int cells);

    std::FILE* out_;
    const bool live_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string status_, byteCounter_, speed_;
    double fileFraction_ = 0.0, totalFraction_ = 0.0;
    bool dirty_ = false;
    bool drawnLive_ = false;
    Stopwatch drawClock_;
};

}  // namespace korvun
