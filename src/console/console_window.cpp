#include "console/console_window.h"

#include <chrono>
#include <cinttypes>

#include "platform/console.h"

namespace korvun {

namespace {

constexpr double kRedrawInterval = 0.1;  // seconds
// A log or a pipe gets a download's figures this often; more would drown the status lines.
constexpr double kReportInterval = 3.0;  // seconds

int ColumnsOf(std::FILE* out) {
    int columns = TerminalColumns(out);
    return columns >= 20 ? columns : 80;
}

}  // namespace

ConsoleWindow::ConsoleWindow(std::FILE* out, bool live, const Clock& clock)
    : UpdaterWindow(clock),
      out_(out),
      live_(live),
      runClock_(clock),
      reportClock_(clock),
      drawClock_(clock) {
    InitGauges(kGaugeSteps, kGaugeSteps);
}

void ConsoleWindow::SetFieldText(TextField field, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (field) {
        case TextField::Status:
            if (!live_ && text != status_ && !text.empty()) {
                std::fprintf(out_, "%s\n", text.c_str());
                std::fflush(out_);
                reportClock_.Restart();
            }
            status_ = text;
            break;
        case TextField::ByteCounter: {
            byteCounter_ = text;
            // The window's "received / expected" in bytes, shown here in KiB and MiB.
            int64_t received = 0, expected = 0;
            downloading_ =
                std::sscanf(text.c_str(), "%" SCNd64 " / %" SCNd64, &received, &expected) == 2 &&
                received >= 0 && expected > 0;
            received_ = downloading_ ? static_cast<uint64_t>(received) : 0;
            expected_ = downloading_ ? static_cast<uint64_t>(expected) : 0;
            break;
        }
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
    uint64_t totalDone = TotalGauge().Pos(), totalBytes = TotalGauge().Upper();
    std::lock_guard<std::mutex> lock(mutex_);
    (gauge == GaugeId::File ? fileFraction_ : totalFraction_) = fraction;
    if (gauge == GaugeId::Total) {
        totalDone_ = totalDone;
        totalBytes_ = totalBytes;
    }
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

// The desktop window says nothing when a run moves to a mirror; a log should.
void ConsoleWindow::OnServerChanged(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%sUsing the server %s\n", live_ ? "\r\x1b[K" : "", address.c_str());
    std::fflush(out_);
    dirty_ = true;
}

// A player who stopped a run wants to see that the next one did not start over.
void ConsoleWindow::OnResumingDownload(const std::string& name, uint64_t held, uint64_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%sResuming %s: %s already here\n", live_ ? "\r\x1b[K" : "", name.c_str(),
                 FormatSizePair(held, size).c_str());
    std::fflush(out_);
    dirty_ = true;
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
    if (downloading_) rate_.Add(runClock_.Elapsed(), BytesDone());
    if (!live_) return ReportDownload();
    if (!dirty_ || drawClock_.Elapsed() < kRedrawInterval) return;
    DrawLiveLine();
}

// The bytes of the whole run when the worker summed its packages; else of the current file.
uint64_t ConsoleWindow::BytesDone() const { return totalBytes_ > 0 ? totalDone_ : received_; }

ProgressFacts ConsoleWindow::Facts() const {
    ProgressFacts facts;
    facts.status = status_;
    facts.fileFraction = fileFraction_;
    facts.totalFraction = totalFraction_;
    facts.downloading = downloading_;
    facts.received = received_;
    facts.expected = expected_;
    uint64_t goal = totalBytes_ > 0 ? totalBytes_ : expected_;
    uint64_t done = BytesDone();
    facts.percentFraction = goal > 0 ? static_cast<double>(done) / static_cast<double>(goal) : 0;
    facts.bytesPerSecond = rate_.BytesPerSecond();
    if (facts.bytesPerSecond > 0.0 && goal >= done) {
        facts.secondsLeft = static_cast<double>(goal - done) / facts.bytesPerSecond;
    }
    facts.windowSpeed = speed_;
    return facts;
}

void ConsoleWindow::ReportDownload() {
    if (!downloading_ || reportClock_.Elapsed() < kReportInterval) return;
    if (BytesDone() == reportedBytes_ || received_ >= expected_) return;
    std::fprintf(out_, "%s\n", FormatProgressReport(Facts()).c_str());
    std::fflush(out_);
    reportedBytes_ = BytesDone();
    reportClock_.Restart();
}

void ConsoleWindow::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!live_) return;
    DrawLiveLine();
    std::fputc('\n', out_);
    std::fflush(out_);
}

void ConsoleWindow::DrawLiveLine() {
    int columns = ColumnsOf(out_);
    std::string line = FormatLiveLine(Facts(), static_cast<size_t>(columns - 1));
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    std::fflush(out_);
    dirty_ = false;
    drawnLive_ = true;
    drawClock_.Restart();
}

}  // namespace korvun
