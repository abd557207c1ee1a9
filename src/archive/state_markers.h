// The state markers of Version.ini (StartUpdate), as the archive code writes them around the
// changes it makes. The update layer keeps them in Version.ini; tools that work on archives
// which are no player's installation record nothing.
#pragma once

namespace korvun {

class StateMarkers {
  public:
    virtual ~StateMarkers() = default;
    // Each writes its marker durably before returning; false when the write failed.
    virtual bool MarkExtractStart() = 0;  // "EXTRACT_START"
    virtual bool MarkExtractEnd() = 0;    // "EXTRACT_END"
    virtual bool MarkUpdateStart() = 0;   // "UPDATE_START"
    virtual bool MarkUpdateEnd() = 0;     // "UPDATE_END"
    virtual bool ClearStateMarker() = 0;  // ""
};

// Markers that record nothing, for archives that are not a player's installation.
class NoStateMarkers : public StateMarkers {
  public:
    bool MarkExtractStart() override { return true; }
    bool MarkExtractEnd() override { return true; }
    bool MarkUpdateStart() override { return true; }
    bool MarkUpdateEnd() override { return true; }
    bool ClearStateMarker() override { return true; }
};

}  // namespace korvun
