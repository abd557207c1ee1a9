// The updater window on a terminal: one live line with the status text, both progress bars,
// the sizes, the speed and the time left, redrawn at most ten times a second; without a
// terminal, plain lines, one per status change and one every few seconds of a download.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "app/updater_window.h"
#include "console/progress_line.h"

namespace korvun {

class ConsoleWindow : public UpdaterWindow {
  public:
    // live: draw the live line (a terminal); otherwise print plain lines.
    ConsoleWindow(std::FILE* out, bool live, const Clock& clock = SteadyClock());

    // Called by the main thread while it waits: redraws the live line when something
    // changed and 0.1 s have passed since the last drawing; without a terminal, reports a
    // download's progress every few seconds.
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
    void OnServerChanged(const std::string& address) override;
    void OnResumingDownload(const std::string& name, uint64_t held, uint64_t size) override;
    void OnRunEnded() override;

  private:
    // Steps in which a gauge's change is noticed; a bar has at most 20 cells.
    static constexpr int kGaugeSteps = 1000;

    void DrawLiveLine();          // with mutex_ held
    ProgressFacts Facts() const;  // with mutex_ held
    void ReportDownload();        // with mutex_ held
    uint64_t BytesDone() const;   // with mutex_ held

    std::FILE* out_;
    const bool live_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string status_, byteCounter_, speed_;
    double fileFraction_ = 0.0, totalFraction_ = 0.0;
    // The byte counter's figures (the current file) and the total gauge's, for sizes,
    // speed and time left.
    bool downloading_ = false;
    uint64_t received_ = 0, expected_ = 0;
    uint64_t totalDone_ = 0, totalBytes_ = 0;
    TransferRate rate_;
    uint64_t reportedBytes_ = 0;
    Stopwatch runClock_;
    Stopwatch reportClock_;
    bool dirty_ = false;
    bool drawnLive_ = false;
    Stopwatch drawClock_;
};

}  // namespace korvun
