#include "console/console_window.h"

#include <chrono>

#include "platform/console.h"

namespace korvun {

namespace {

constexpr double kRedrawInterval = 0.1;  // seconds

int ColumnsOf(std::FILE* out) {
    int columns = TerminalColumns(out);
    return columns >= 20 ? columns : 80;
}

// Cuts text to at most columns display cells, counting UTF-8 sequences as one cell.
std::string FitColumns(const std::string& text, size_t columns) {
    size_t cells = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (cells == columns) return text.substr(0, i);
        ++cells;
    }
    return text;
}

}  // namespace

ConsoleWindow::ConsoleWindow(std::FILE* out, bool live, const Clock& clock)
    : UpdaterWindow(clock), out_(out), live_(live), drawClock_(clock) {
    InitGauges(kGaugeSteps, kGaugeSteps);
}

void ConsoleWindow::SetFieldText(TextField field, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (field) {
        case TextField::Status:
            if (!live_ && text != status_ && !text.empty()) {
                std::fprintf(out_, "%s\n", text.c_str());
                std::fflush(out_);
            }
            status_ = text;
            break;
        case TextField::ByteCounter:
            byteCounter_ = text;
            break;
        case TextField::Speed:
            speed_ = text;
            break;
    }
    dirty_ = true;
    changed_.notify_all();
}

// A terminal has no second place for the status line; an error simply replaces the status.
void ConsoleWindow::MoveStatusLineUp() {}

void ConsoleWindow::PaintGauge(GaugeId gauge, bool /*withBackground*/, int /*fillWidth*/) {
    double fraction = gauge == GaugeId::File ? FileGauge().Fraction() : TotalGauge().Fraction();
    std::lock_guard<std::mutex> lock(mutex_);
    (gauge == GaugeId::File ? fileFraction_ : totalFraction_) = fraction;
    dirty_ = true;
}

// The run's end reaches the console through the worker's outcome, not through its buttons.
void ConsoleWindow::EnableStartButton(bool /*enabled*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = true;
    changed_.notify_all();
}

void ConsoleWindow::DoRequestClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

// The main thread waits for the worker's end; it need not wait out its time-out.
void ConsoleWindow::OnRunEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

void ConsoleWindow::WaitForChange(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs));
}

void ConsoleWindow::Tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_ || !dirty_ || drawClock_.Elapsed() < kRedrawInterval) return;
    DrawLiveLine();
}

void ConsoleWindow::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_) return;
    DrawLiveLine();
    std::fputc('\n', out_);
    std::fflush(out_);
}

std::string ConsoleWindow::Bar(double fraction, int cells) {
    int filled = static_cast<int>(fraction * cells);
    if (filled > cells) filled = cells;
    if (filled < 0) filled = 0;
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "[" + std::string.
    std::string bar;
    bar.reserve(static_cast<size_t>(cells) + 2);
    bar.push_back('[');
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(cells - filled), '-');
    bar.push_back(']');
    return bar;
}

void ConsoleWindow::DrawLiveLine() {
    int columns = ColumnsOf(out_);
    int cells = columns >= 100 ? 20 : 10;
    std::string line = Bar(fileFraction_, cells) + " " + Bar(totalFraction_, cells);
    if (!byteCounter_.empty()) line += " " + byteCounter_;
    if (!speed_.empty()) line += " " + speed_;
    line += "  " + status_;
    std::fprintf(out_, "\r%s\x1b[K", FitColumns(line, static_cast<size_t>(columns - 1)).c_str());
    std::fflush(out_);
    dirty_ = false;
    drawnLive_ = true;
    drawClock_.Restart();
}

}  // namespace korvun
