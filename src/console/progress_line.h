// What the console says about a download, in units a person knows, fitted to the width of
// the terminal: sizes in KiB/MiB/GiB, a percentage, the speed and the time left. Pure
// formatting and arithmetic: the caller supplies the figures, the clock and the width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace korvun {

// "512 B", "1.5 KiB", "3.0 MiB", "1.2 GiB" (units of 1024).
std::string FormatSize(uint64_t bytes);
// "1.0 / 3.0 MiB": both figures in the unit of the larger.
std::string FormatSizePair(uint64_t done, uint64_t total);
// "0:42", "12:03", "1:02:03".
std::string FormatDuration(double seconds);
// "[####------]" with cells cells between the brackets.
std::string ProgressBar(double fraction, int cells);
// text cut to at most columns display cells (a UTF-8 sequence is one cell).
std::string FitColumns(const std::string& text, size_t columns);

struct ProgressFacts {
    std::string status;  // the status text, with the package counter "(1/2)" when downloading
    double fileFraction = 0.0;
    double totalFraction = 0.0;
    double percentFraction = 0.0;  // what the percentage shows: the whole run when known
    bool downloading = false;      // received and expected hold the current file's bytes
    uint64_t received = 0;
    uint64_t expected = 0;
    double bytesPerSecond = 0.0;  // 0: not measured yet
    double secondsLeft = -1.0;    // negative: not known
    std::string windowSpeed;      // the window's own speed text, shown where there is room
};

// One live line of at most columns cells. The status (with the package counter) stays
// visible; the other figures give way when the line is too narrow, the least telling first.
std::string FormatLiveLine(const ProgressFacts& facts, size_t columns);
// A line for a log or a pipe during a download: the status and the download's figures.
std::string FormatProgressReport(const ProgressFacts& facts);

// The transfer rate over the last few seconds, from samples of a growing byte count.
class TransferRate {
  public:
    // seconds: any steadily growing time; bytes: the count at that time. A count that went
    // back (a new file) starts the measurement over.
    void Add(double seconds, uint64_t bytes);
    double BytesPerSecond() const;  // 0 until a second of samples is there

  private:
    static constexpr double kWindowSeconds = 5.0;
    std::deque<std::pair<double, uint64_t>> samples_;
};

}  // namespace korvun
