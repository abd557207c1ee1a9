// The updater window as the engine sees it: the status and progress operations that the
// worker calls, with the logic that does not depend on a toolkit (texts, throttles, speed
// statistics, where the status line goes after an error, the gauge models). Each front-end
// derives from it and implements the few primitives at the bottom.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/messages.h"
#include "app/skin_gauge.h"
#include "app/stopwatch.h"

namespace korvun {

// The worker's flags that the window reads (patch phase, replace updater).
struct WorkerFlags {
    std::atomic<bool> patchPhase{false};
    std::atomic<bool> replaceUpdater{false};
};

class UpdaterWindow {
  public:
    explicit UpdaterWindow(const Clock& clock = SteadyClock());
    virtual ~UpdaterWindow() = default;
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // The worker whose flags the progress operations read; null reads both as false.
    void AttachWorkerFlags(const WorkerFlags* flags) { workerFlags_ = flags; }

    // Operations the worker calls (from the worker thread).
    void SetStatusText(const std::string& text);
    void ShowError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void ShowErrorText(const std::string& text);  // an already composed message, unformatted
    void SetFileCount(int32_t n);
    void NextFile();
    void BeginFileProgress(uint64_t size, uint64_t start);
    void SetFileProgress(uint64_t received);
    void SetTotalRange(uint64_t total);
    void SetTotalProgress(uint64_t done);
    void ShowByteCounter(int64_t received, int64_t expected, bool force);
    void UpdateSpeed(uint32_t received, uint32_t blockSize);
    void RestartSpeedClock();
    void ShowSpeed(double rate);
    void ShowCompleted();
    void ShowReinstall();
    void ClearByteCounter();  // byte counter := ""
    void ClearSpeedText();    // speed text := ""
    // A modal box; returns when the player has closed it.
    void ShowMessageBox(const std::string& text, const std::string& caption = kAppTitle) {
        PresentMessageBox(text, caption);
    }
    void SetUpdatedThisRun(bool updated) { updatedThisRun_ = updated; }
    bool UpdatedThisRun() const { return updatedThisRun_; }

    // The two gauges; the extraction, the merge and the patch application set the file
    // gauge's range and position directly.
    SkinGauge& FileGauge() { return fileGauge_; }
    SkinGauge& TotalGauge() { return totalGauge_; }

    // What the status line shows now (set by any of the operations above).
    const std::string& StatusText() const { return statusText_; }
    int32_t FileCount() const { return fileCount_; }
    int32_t FileIndex() const { return fileIndex_; }
    bool StatusLineMoved() const { return statusLineMoved_; }

    // Asks the front-end to close the window (WM_CLOSE posted by the worker).
    void RequestClose() { DoRequestClose(); }
    // The run turned to a mirror: the server pages (the notice) come from there too.
    void ServerChanged(const std::string& address) { OnServerChanged(address); }

  protected:
    enum class TextField { Status, ByteCounter, Speed };
    enum class GaugeId { File, Total };

    // Primitives each front-end implements. They may be called from the worker thread;
    // a toolkit front-end hands the work to its own thread.
    virtual void SetFieldText(TextField field, const std::string& text) = 0;
    virtual void MoveStatusLineUp() = 0;  // to 45,475, 462x13; it stays there
    virtual void PaintGauge(GaugeId gauge, bool withBackground, int fillWidth) = 0;
    virtual void EnableStartButton(bool enabled) = 0;
    virtual void DoRequestClose() = 0;
    // Without a toolkit's box, the text goes to standard error as "CAPTION: TEXT".
    virtual void PresentMessageBox(const std::string& text, const std::string& caption);
    // A front-end that shows no server page has nothing to do.
    virtual void OnServerChanged(const std::string& /*address*/) {}

    // Call from the derived constructor once the gauge widths are known (515 for the skin).
    void InitGauges(int fileGaugeWidth, int totalGaugeWidth);

  private:
    bool PatchPhase() const;
    bool ReplaceUpdater() const;
    void SetStatusField(const std::string& text);
    void FillGaugesFull();

    const WorkerFlags* workerFlags_ = nullptr;
    SkinGauge fileGauge_;
    SkinGauge totalGauge_;
    Stopwatch speedClock_;
    Stopwatch byteCounterClock_;
    bool updatedThisRun_ = false;
    bool statusLineMoved_ = false;
    int32_t fileCount_ = 0;
    int32_t fileIndex_ = 0;
    uint32_t sampleCount_ = 0;
    double rateSum_ = 0.0;
    uint32_t lastReceived_ = 0;
    std::string statusText_;
};

}  // namespace korvun
