// The state markers of Version.ini (StartUpdate), as the archive and patch code write them.
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

}  // namespace korvun
