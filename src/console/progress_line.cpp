#include "console/progress_line.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace korvun {

namespace {

struct Unit {
    const char* name;
    double bytes;
};

// The largest unit in which value is at least 1 (bytes below 1 KiB).
Unit UnitFor(uint64_t value) {
    if (value >= (uint64_t{1} << 30)) return {"GiB", 1073741824.0};
    if (value >= (uint64_t{1} << 20)) return {"MiB", 1048576.0};
    if (value >= (uint64_t{1} << 10)) return {"KiB", 1024.0};
    return {"B", 1.0};
}

std::string Figure(uint64_t value, const Unit& unit) {
    char text[32];
    if (unit.bytes == 1.0) {
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    } else {
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(value) / unit.bytes);
    }
    return text;
}

size_t Cells(const std::string& text) {
    size_t cells = 0;
    for (char c : text) cells += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return cells;
}

std::string Percent(double fraction) {
    if (fraction < 0.0) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    return std::to_string(static_cast<int>(fraction * 100.0)) + "%";
}

constexpr size_t kWideColumns = 99;

// A field of the live line and when it gives way: the highest rank goes first.
struct Field {
    std::string text;
    int rank;
};

}  // namespace

std::string FormatSize(uint64_t bytes) {
    Unit unit = UnitFor(bytes);
    return Figure(bytes, unit) + " " + unit.name;
}

std::string FormatSizePair(uint64_t done, uint64_t total) {
    Unit unit = UnitFor(done > total ? done : total);
    return Figure(done, unit) + " / " + Figure(total, unit) + " " + unit.name;
}

std::string FormatDuration(double seconds) {
    long long total = seconds > 0.0 ? static_cast<long long>(std::ceil(seconds)) : 0;
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

std::string ProgressBar(double fraction, int cells) {
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

std::string FitColumns(const std::string& text, size_t columns) {
    size_t cells = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (cells == columns) return text.substr(0, i);
        ++cells;
    }
    return text;
}

std::string FormatLiveLine(const ProgressFacts& facts, size_t columns) {
    int cells = columns >= 140 ? 20 : 10;
    // In the order shown. The status never gives way; the window's own speed text goes first,
    // then the bars, the time left, the speed, the sizes, the percentage.
    std::vector<Field> fields = {
        {ProgressBar(facts.fileFraction, cells), 6},
        {ProgressBar(facts.totalFraction, cells), 5},
    };
    if (facts.downloading) {
        fields.push_back({Percent(facts.percentFraction), 1});
        fields.push_back({FormatSizePair(facts.received, facts.expected), 2});
        if (facts.bytesPerSecond > 0.0) {
            fields.push_back({FormatSize(static_cast<uint64_t>(facts.bytesPerSecond)) + "/s", 3});
        }
        if (facts.secondsLeft >= 0.0) {
            fields.push_back({FormatDuration(facts.secondsLeft) + " left", 4});
        }
    }
    // The desktop window's speed text, for those who compare the two programs; only a wide
    // terminal has room for it beside the figures above.
    if (!facts.windowSpeed.empty() && columns >= kWideColumns) {
        fields.push_back({facts.windowSpeed, 7});
    }

    for (;;) {
        std::string line;
        for (const Field& field : fields) line += (line.empty() ? "" : " ") + field.text;
        line += (line.empty() ? "" : "  ") + facts.status;
        if (Cells(line) <= columns || fields.empty()) return FitColumns(line, columns);
        size_t drop = 0;
        for (size_t i = 1; i < fields.size(); ++i) {
            if (fields[i].rank > fields[drop].rank) drop = i;
        }
        fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(drop));
    }
}

std::string FormatProgressReport(const ProgressFacts& facts) {
    std::string line = facts.status + ": " + FormatSizePair(facts.received, facts.expected) + ", " +
                       Percent(facts.percentFraction);
    if (facts.bytesPerSecond > 0.0) {
        line += ", " + FormatSize(static_cast<uint64_t>(facts.bytesPerSecond)) + "/s";
    }
    if (facts.secondsLeft >= 0.0) line += ", " + FormatDuration(facts.secondsLeft) + " left";
    return line;
}

void TransferRate::Add(double seconds, uint64_t bytes) {
    if (!samples_.empty() && bytes < samples_.back().second) samples_.clear();
    samples_.emplace_back(seconds, bytes);
    while (samples_.size() > 2 && samples_.front().first < seconds - kWindowSeconds) {
        samples_.pop_front();
    }
}

double TransferRate::BytesPerSecond() const {
    if (samples_.size() < 2) return 0.0;
    double span = samples_.back().first - samples_.front().first;
    if (span < 1.0) return 0.0;
    return static_cast<double>(samples_.back().second - samples_.front().second) / span;
}

}  // namespace korvun
