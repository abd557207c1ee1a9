#include "app/updater_window.h"

#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>

#include "app/message_box.h"
#include "app/messages.h"
#include "app/player_codes.h"

namespace korvun {

namespace {

constexpr size_t kErrorTextSize = 1000;
constexpr double kByteCounterInterval = 0.2;  // seconds
constexpr double kSpeedInterval = 1.0;        // seconds
constexpr const char* kDownloadingText = "Downloading the file";

}  // namespace

UpdaterWindow::UpdaterWindow(const Clock& clock) : speedClock_(clock), byteCounterClock_(clock) {
    fileGauge_.SetPainter([this](bool withBackground, int fillWidth) {
        PaintGauge(GaugeId::File, withBackground, fillWidth);
    });
    totalGauge_.SetPainter([this](bool withBackground, int fillWidth) {
        PaintGauge(GaugeId::Total, withBackground, fillWidth);
    });
}

void UpdaterWindow::InitGauges(int fileGaugeWidth, int totalGaugeWidth) {
    fileGauge_.SetWidth(fileGaugeWidth);
    totalGauge_.SetWidth(totalGaugeWidth);
}

void UpdaterWindow::SetStatusText(const std::string& text) { SetStatusField(text); }

void UpdaterWindow::SetStatusField(const std::string& text) {
    statusText_ = text;
    SetFieldText(TextField::Status, text);
}

void UpdaterWindow::ShowError(const char* format, ...) {
    char text[kErrorTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ShowErrorText(text);
}

void UpdaterWindow::ShowErrorText(const std::string& text) {
    ClearByteCounter();
    ClearSpeedText();
    // The error line is wider and sits higher; it stays there for the rest of the run.
    if (!statusLineMoved_) {
        statusLineMoved_ = true;
        MoveStatusLineUp();
    }
    SetStatusField(text.substr(0, kErrorTextSize - 1));
}

void UpdaterWindow::ShowRetrying(const std::string& text) {
    if (!statusBeforeRetry_) statusBeforeRetry_ = statusText_;
    SetStatusField(text);
}

void UpdaterWindow::EndRetrying(bool recovered) {
    if (statusBeforeRetry_ && recovered) SetStatusField(*statusBeforeRetry_);
    statusBeforeRetry_.reset();
}

void UpdaterWindow::SetFileCount(int32_t n) {
    fileCount_ = n;
    fileIndex_ = 0;
}

void UpdaterWindow::NextFile() { ++fileIndex_; }

void UpdaterWindow::BeginFileProgress(uint64_t size, uint64_t start) {
    fileGauge_.SetRange(0, size);
    fileGauge_.SetPos(start);
    if (patchPhase_) {
        char text[256];
        std::snprintf(text, sizeof text, "%s (%d/%d)", kDownloadingText, fileIndex_ + 1,
                      fileCount_);
        SetStatusField(text);
        SetFieldText(TextField::Speed, "(Kb/s)");
    } else {
        SetStatusField(kDownloadingText);
    }
    rateSum_ = 0.0;
    sampleCount_ = 0;
    // A resumed file's earlier bytes did not arrive in this file's first second.
    lastReceived_ = static_cast<uint32_t>(start);
    speedClock_.Restart();
}

void UpdaterWindow::BeginFileStep(uint64_t total) {
    fileGauge_.SetRange(0, total);
    fileGauge_.SetPos(0);
}

void UpdaterWindow::SetFileProgress(uint64_t received) { fileGauge_.SetPos(received); }

void UpdaterWindow::SetTotalRange(uint64_t total) { totalGauge_.SetRange(0, total); }

void UpdaterWindow::SetTotalProgress(uint64_t done) { totalGauge_.SetPos(done); }

void UpdaterWindow::ShowByteCounter(int64_t received, int64_t expected, bool force) {
    if (!patchPhase_ && !replaceUpdater_) return;
    if (!force && byteCounterClock_.Elapsed() <= kByteCounterInterval) return;
    char text[64];
    std::snprintf(text, sizeof text, "%" PRId64 " / %" PRId64, received, expected);
    SetFieldText(TextField::ByteCounter, text);
    byteCounterClock_.Restart();
}

void UpdaterWindow::UpdateSpeed(uint32_t received, uint32_t /*blockSize*/) {
    double elapsed = speedClock_.Elapsed();
    if (elapsed <= kSpeedInterval) return;
    uint32_t delta = received - lastReceived_;  // wraps like the 32-bit counter it samples
    lastReceived_ = received;
    ++sampleCount_;
    rateSum_ += static_cast<double>(delta) / elapsed;
    ShowSpeed(rateSum_ / sampleCount_);
    speedClock_.Restart();
}

void UpdaterWindow::RestartSpeedClock() { speedClock_.Restart(); }

void UpdaterWindow::ShowSpeed(double rate) {
    double kilo = rate * 0.001;
    int shown = kilo >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(kilo);
    char text[32];
    std::snprintf(text, sizeof text, "(%d Kb/s)", shown);
    SetFieldText(TextField::Speed, text);
}

void UpdaterWindow::FillGaugesFull() {
    fileGauge_.SetRange(0, 1);
    fileGauge_.SetPos(1);
    totalGauge_.SetRange(0, 1);
    totalGauge_.SetPos(1);
}

void UpdaterWindow::ShowCompleted() {
    SetStatusField(updatedThisRun_ ? "Update Completed" : "Completed");
    ClearByteCounter();
    ClearSpeedText();
    FillGaugesFull();
    EnableStartButton(true);
}

void UpdaterWindow::ShowReinstall() {
    SetStatusField(ComposeMessage(PlayerCode::ReinstallState));
    ClearByteCounter();
    ClearSpeedText();
    FillGaugesFull();
    EnableStartButton(false);
}

void UpdaterWindow::PresentMessageBox(const std::string& text, const std::string& caption) {
    PrintMessageBox(text, caption);
}

void UpdaterWindow::ClearByteCounter() { SetFieldText(TextField::ByteCounter, ""); }

void UpdaterWindow::ClearSpeedText() { SetFieldText(TextField::Speed, ""); }

}  // namespace korvun
