// Drives the steps of a merge and a deletion one at a time, for the tests and fuzz harnesses
// that check them singly; everything else goes through GameArchive's public calls.
#pragma once

#include <list>
#include <string>
#include <string_view>

#include "archive/game_archive.h"

namespace korvun {

class GameArchiveProbe {
  public:
    explicit GameArchiveProbe(GameArchive& archive) : archive_(archive) {}

    bool LoadGameIndex(IndexReader& in) { return archive_.LoadGameIndex(in); }
    const std::string& LoadError() const { return archive_.LoadError(); }
    // The game index as loaded and changed so far.
    const ArchiveIndex& Index() const { return archive_.game_; }

    void RemoveEntry(std::string_view path) { archive_.RemoveEntry(path); }
    void AddEntry(std::string_view path, ArchiveEntry entry) {
        archive_.AddEntry(path, std::move(entry));
    }
    bool TakeFreeSpace(uint32_t needed, uint64_t& offset) {
        return archive_.TakeFreeSpace(needed, offset);
    }

    // An update tree without its header, then its files collected against the game tree.
    bool ReadUpdateTree(IndexReader& in) { return archive_.ReadFolder(in, archive_.updateRoot_); }
    void CollectUpdateFiles() { archive_.CollectUpdateFiles(archive_.updateRoot_, ""); }
    const std::list<PendingCopy>& Pending() const { return archive_.pending_; }

  private:
    GameArchive& archive_;
};

}  // namespace korvun
