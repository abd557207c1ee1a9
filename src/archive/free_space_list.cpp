#include "archive/free_space_list.h"

#include <algorithm>
#include <numeric>

namespace korvun {

void FreeSpaceList::Clear() {
    slots_.clear();
    maxSize_.clear();
    leaves_ = 0;
    head_ = 0;
    count_ = 0;
}

void FreeSpaceList::LoadInReadOrder(std::vector<ArchiveEntry> records) {
    Clear();
    std::vector<size_t> order(records.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (records[a].size != records[b].size) return records[a].size < records[b].size;
        return a > b;  // a record read later stands before the earlier ones of its size
    });
    slots_.reserve(records.size());
    for (size_t i : order) slots_.emplace_back(std::move(records[i]));
    count_ = slots_.size();
    leaves_ = 1;
    while (leaves_ < slots_.size()) leaves_ *= 2;
    maxSize_.assign(2 * leaves_, -1);
    for (size_t i = 0; i < slots_.size(); ++i) maxSize_[leaves_ + i] = slots_[i]->size;
    for (size_t node = leaves_ - 1; node >= 1; --node) {
        maxSize_[node] = std::max(maxSize_[2 * node], maxSize_[2 * node + 1]);
    }
}

void FreeSpaceList::Grow() {
    size_t leaves = std::max<size_t>(leaves_ * 2, 64);
    std::vector<int64_t> grown(2 * leaves, -1);
    for (size_t i = 0; i < leaves_; ++i) grown[leaves + i] = maxSize_[leaves_ + i];
    for (size_t node = leaves - 1; node >= 1; --node) {
        grown[node] = std::max(grown[2 * node], grown[2 * node + 1]);
    }
    maxSize_ = std::move(grown);
    leaves_ = leaves;
}

void FreeSpaceList::SetLeaf(size_t position, int64_t value) {
    size_t node = leaves_ + position;
    maxSize_[node] = value;
    for (node /= 2; node >= 1; node /= 2) {
        maxSize_[node] = std::max(maxSize_[2 * node], maxSize_[2 * node + 1]);
    }
}

void FreeSpaceList::Append(ArchiveEntry record) {
    if (slots_.size() == leaves_) Grow();
    int64_t size = record.size;
    slots_.emplace_back(std::move(record));
    ++count_;
    SetLeaf(slots_.size() - 1, size);
}

std::optional<ArchiveEntry> FreeSpaceList::TakeFirstFit(uint32_t needed) {
    if (count_ == 0 || maxSize_[1] < static_cast<int64_t>(needed)) return std::nullopt;
    size_t node = 1;
    while (node < leaves_) {
        node = maxSize_[2 * node] >= static_cast<int64_t>(needed) ? 2 * node : 2 * node + 1;
    }
    size_t position = node - leaves_;
    std::optional<ArchiveEntry> taken = std::move(slots_[position]);
    slots_[position].reset();
    --count_;
    SetLeaf(position, -1);
    return taken;
}

ArchiveEntry FreeSpaceList::PopFront() {
    while (!slots_[head_]) ++head_;
    ArchiveEntry front = std::move(*slots_[head_]);
    slots_[head_].reset();
    SetLeaf(head_, -1);
    --count_;
    ++head_;
    return front;
}

std::optional<uint64_t> FreeSpaceList::Allocate(uint32_t needed) {
    std::optional<ArchiveEntry> record = TakeFirstFit(needed);
    if (!record) return std::nullopt;
    uint32_t rest = record->size - needed;
    // A rest of one byte would be a record of size 0, which nothing could use.
    if (rest > 1) Append(ArchiveEntry{"rest space", record->offset + needed + 1, rest - 1, 0});
    return record->offset;
}

}  // namespace korvun
