// The free-space list of a data file: an ordered list of free regions served first fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "archive/archive_tree.h"

namespace korvun {

// Records keep list order: those loaded from the index first (sorted by size), then those
// released or split off during the task, in the order they arose. A max-tree over the
// positions finds the first record in list order that is large enough in logarithmic time,
// which is exactly what a walk from the front would return.
class FreeSpaceList {
  public:
    void Clear();

    // Places each record, in the order given, before the first record whose size is greater
    // than or equal to its own: ascending sizes, and among equal sizes the later one first.
    void LoadInReadOrder(std::vector<ArchiveEntry> records);

    void Append(ArchiveEntry record);

    // Unlinks and returns the first record whose size is at least needed.
    std::optional<ArchiveEntry> TakeFirstFit(uint32_t needed);

    // Takes room for a content of needed bytes and its terminator from the first record that
    // fits and returns its offset; what is left beyond the terminator goes back to the end
    // of the list as a new record. nullopt when no record is large enough.
    std::optional<uint64_t> Allocate(uint32_t needed);

    // Unlinks and returns the first record; the list must not be empty.
    ArchiveEntry PopFront();

    size_t Count() const { return count_; }

    // Every record in list order.
    template <typename Visit>
    void ForEach(Visit visit) const {
        for (size_t i = head_; i < slots_.size(); ++i) {
            if (slots_[i]) visit(*slots_[i]);
        }
    }

  private:
    void SetLeaf(size_t position, int64_t value);
    void Grow();

    std::vector<std::optional<ArchiveEntry>> slots_;  // list order; empty once unlinked
    std::vector<int64_t> maxSize_;                    // max-tree over slots; -1 for none
    size_t leaves_ = 0;
    size_t head_ = 0;  // no record before this position
    size_t count_ = 0;
};

}  // namespace korvun
