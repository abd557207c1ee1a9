#include "support/recording_window.h"

namespace korvun::test {

RecordingWindow::RecordingWindow(const Clock& clock) : UpdaterWindow(clock) {
    InitGauges(kGaugeWidth, kGaugeWidth);
}

std::string RecordingWindow::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::string RecordingWindow::ByteCounter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return byteCounter_;
}

std::string RecordingWindow::Speed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return speed_;
}

bool RecordingWindow::StartEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startEnabled_;
}

int RecordingWindow::CloseRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeRequests_;
}

std::vector<std::string> RecordingWindow::StatusHistory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusHistory_;
}

std::vector<std::string> RecordingWindow::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<GaugePaint> RecordingWindow::GaugePaints() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return gaugePaints_;
}

size_t RecordingWindow::TextCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return textCalls_;
}

void RecordingWindow::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    statusHistory_.clear();
    events_.clear();
    gaugePaints_.clear();
    boxes_.clear();
    textCalls_ = 0;
}

void RecordingWindow::SetFieldText(TextField field, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++textCalls_;
    switch (field) {
        case TextField::Status:
            status_ = text;
            statusHistory_.push_back(text);
            events_.push_back("status: " + text);
            break;
        case TextField::ByteCounter:
            byteCounter_ = text;
            events_.push_back("bytes: " + text);
            break;
        case TextField::Speed:
            speed_ = text;
            events_.push_back("speed: " + text);
            break;
    }
}

void RecordingWindow::MoveStatusLineUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("status line moved");
}

void RecordingWindow::PaintGauge(GaugeId gauge, bool withBackground, int fillWidth) {
    std::lock_guard<std::mutex> lock(mutex_);
    gaugePaints_.push_back({gauge == GaugeId::File, withBackground, fillWidth});
}

void RecordingWindow::EnableStartButton(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    startEnabled_ = enabled;
}

void RecordingWindow::DoRequestClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++closeRequests_;
}

std::vector<std::string> RecordingWindow::Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

void RecordingWindow::PresentMessageBox(const std::string& text, const std::string& caption) {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back(caption + ": " + text);
}

}  // namespace korvun::test
