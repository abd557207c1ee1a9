// An UpdaterWindow for tests: records what the engine showed, thread-safely, so a test can
// check the texts, the gauges, the buttons and the order in which things happened.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "app/updater_window.h"

namespace korvun::test {

struct GaugePaint {
    bool file;  // false: the total gauge
    bool withBackground;
    int fillWidth;
};

class RecordingWindow : public UpdaterWindow {
  public:
    static constexpr int kGaugeWidth = 515;

    explicit RecordingWindow(const Clock& clock = SteadyClock());

    std::string Status() const;
    std::string ByteCounter() const;
    std::string Speed() const;
    bool StartEnabled() const;
    int CloseRequests() const;
    // Every status line text in order (errors included).
    std::vector<std::string> StatusHistory() const;
    // Every text set on any field, as "status: ...", "bytes: ...", "speed: ...".
    std::vector<std::string> Events() const;
    std::vector<GaugePaint> GaugePaints() const;
    size_t TextCalls() const;
    // Every message box as "CAPTION: TEXT", in order.
    std::vector<std::string> Boxes() const;
    void ClearRecords();

  protected:
    void SetFieldText(TextField field, const std::string& text) override;
    void MoveStatusLineUp() override;
    void PaintGauge(GaugeId gauge, bool withBackground, int fillWidth) override;
    void EnableStartButton(bool enabled) override;
    void DoRequestClose() override;
    void PresentMessageBox(const std::string& text, const std::string& caption) override;

  private:
    mutable std::mutex mutex_;
    std::string status_, byteCounter_, speed_;
    bool startEnabled_ = false;
    int closeRequests_ = 0;
    size_t textCalls_ = 0;
    std::vector<std::string> statusHistory_;
    std::vector<std::string> events_;
    std::vector<GaugePaint> gaugePaints_;
    std::vector<std::string> boxes_;
};

}  // namespace korvun::test
