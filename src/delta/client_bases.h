// The content a delta's segments are compressed against, found in the client's own files: a
// loose file of the game directory or an entry of its data archive. Each base is checked
// (size and SHA-256) before any segment uses it; a client whose file differs from the
// release the delta was made for cannot rebuild from it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "archive/game_archive.h"
#include "delta/delta_format.h"
#include "platform/client_directory.h"
#include "platform/file_io.h"
#include "platform/file_mapping.h"

namespace korvun::delta {

class ClientBases {
  public:
    explicit ClientBases(ClientDirectory client);
    ~ClientBases();
    ClientBases(const ClientBases&) = delete;
    ClientBases& operator=(const ClientBases&) = delete;

    // Maps the base segment names into mapping, checked; false with error.
    bool Map(const Segment& segment, FileMapping& mapping, std::string& error);

  private:
    bool MapLooseFile(const std::string& name, FileMapping& mapping, std::string& error);
    bool MapArchiveEntry(const std::string& path, FileMapping& mapping, std::string& error);
    const ArchiveEntry* FindArchiveEntry(const std::string& path);

    ClientDirectory client_;
    bool indexRead_ = false;
    std::optional<ArchiveIndex> index_;  // the client's index, read on first use
    FileHandle data_;
    FileHandle loose_;
    // Bases whose SHA-256 has been checked already.
    std::map<std::pair<BaseKind, std::string>, bool> checked_;
};

}  // namespace korvun::delta
