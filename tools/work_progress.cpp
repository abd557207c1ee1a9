#include "work_progress.h"

#include "console/progress_line.h"
#include "platform/console.h"

namespace korvun::tool {

namespace {

// Work that ends sooner says nothing; a person notices silence only after a few seconds.
constexpr double kQuietStart = 2.0;  // seconds
constexpr double kLiveInterval = 0.2;
// A log gets a line this often, not one per file.
constexpr double kLogInterval = 3.0;

}  // namespace

WorkProgress::WorkProgress(bool shown)
    : WorkProgress(shown, stderr, IsTerminal(stderr), SteadyClock()) {}

WorkProgress::WorkProgress(bool shown, std::FILE* out, bool terminal, const Clock& clock)
    : shown_(shown), out_(out), terminal_(terminal), sinceStart_(clock), sinceLine_(clock) {}

WorkProgress::~WorkProgress() {
    if (live_) {
        std::fputs("\r\x1b[K", out_);
        std::fflush(out_);
    }
}

void WorkProgress::Update(const std::string& what, uint64_t done, uint64_t total) {
    if (!shown_ || sinceStart_.Elapsed() < kQuietStart) return;
    if (printed_ && sinceLine_.Elapsed() < (terminal_ ? kLiveInterval : kLogInterval)) return;
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 0;
    std::string line =
        what + ": " + FormatSizePair(done, total) + " (" + std::to_string(percent) + "%)";
    if (terminal_) {
        std::fprintf(out_, "\r%s\x1b[K", FitColumns(line, 79).c_str());
        live_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
    printed_ = true;
    sinceLine_.Restart();
}

}  // namespace korvun::tool
