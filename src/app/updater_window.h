// The updater window's logic that does not depend on a toolkit: how it shows the run's events
// (texts, throttles, speed statistics, where the status line goes after an error, the gauge
// models). Each front-end derives from it and implements the few primitives at the bottom.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/messages.h"
#include "app/run_events.h"
#include "app/skin_gauge.h"
#include "app/stopwatch.h"

namespace korvun {

class UpdaterWindow : public RunEvents {
  public:
    explicit UpdaterWindow(const Clock& clock = SteadyClock());
    ~UpdaterWindow() override = default;
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // The run's events (from the worker thread).
    void SetStatusText(const std::string& text) override;
    void ReportError(const Status& failure) override { ShowErrorText(failure.Message()); }
    void ShowRetrying(const std::string& text) override;
    void EndRetrying(bool recovered) override;
    void SetFileCount(int32_t n) override;
    void NextFile() override;
    void BeginFileProgress(uint64_t size, uint64_t start) override;
    void BeginFileStep(uint64_t total) override;
    void SetFileProgress(uint64_t received) override;
    void SetTotalRange(uint64_t total) override;
    void SetTotalProgress(uint64_t done) override;
    void ShowByteCounter(int64_t received, int64_t expected, bool force) override;
    void UpdateSpeed(uint32_t received, uint32_t blockSize) override;
    void RestartSpeedClock() override;
    void ClearByteCounter() override;  // byte counter := ""
    void ClearSpeedText() override;    // speed text := ""
    void SetPatchPhase(bool on) override { patchPhase_ = on; }
    void SetReplaceUpdater(bool on) override { replaceUpdater_ = on; }
    void SetUpdatedThisRun(bool updated) override { updatedThisRun_ = updated; }
    void ShowCompleted() override;
    void ShowReinstall() override;
    // A modal box; returns when the player has closed it.
    void ShowMessageBox(const std::string& text, const std::string& caption = kAppTitle) override {
        PresentMessageBox(text, caption);
    }
    void RequestClose() override { DoRequestClose(); }
    void ServerChanged(const std::string& address) override { OnServerChanged(address); }
    void ResumingDownload(const std::string& name, uint64_t held, uint64_t size) override {
        OnResumingDownload(name, held, size);
    }
    void RunEnded(const RunOutcome& /*outcome*/) override { OnRunEnded(); }

    // What the front-ends show of their own.
    void ShowError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void ShowErrorText(const std::string& text);  // an already composed message, unformatted
    void ShowSpeed(double rate);

    // The two gauges, as the events have set them.
    SkinGauge& FileGauge() { return fileGauge_; }
    SkinGauge& TotalGauge() { return totalGauge_; }

    // What the status line shows now (set by any of the calls above).
    const std::string& StatusText() const { return statusText_; }
    int32_t FileCount() const { return fileCount_; }
    int32_t FileIndex() const { return fileIndex_; }
    bool StatusLineMoved() const { return statusLineMoved_; }

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
    // The window's gauges show a resumed download; only a log has more to say.
    virtual void OnResumingDownload(const std::string& /*name*/, uint64_t /*held*/,
                                    uint64_t /*size*/) {}
    // A front-end that waits for the worker's end may stop waiting.
    virtual void OnRunEnded() {}

    // Call from the derived constructor once the gauge widths are known (515 for the skin).
    void InitGauges(int fileGaugeWidth, int totalGaugeWidth);

  private:
    void SetStatusField(const std::string& text);
    void FillGaugesFull();

    bool patchPhase_ = false;
    bool replaceUpdater_ = false;
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
    std::optional<std::string> statusBeforeRetry_;
};

}  // namespace korvun
