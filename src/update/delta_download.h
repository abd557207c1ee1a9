// The delta path of a run: a package's delta package fetched, and the package rebuilt from it
// and the client's own files into the game directory, before anything of the game changes.
// Whatever goes wrong on the way leaves the full package to be downloaded as before.
#pragma once

#include <cstdint>
#include <string>

#include "platform/client_directory.h"
#include "platform/stop_event.h"
#include "update/run_report.h"
#include "update/update_download.h"

namespace korvun {

// "http://ADDRESS/patch/patch/pk%.4u.delta".
std::string DeltaUrl(const std::string& serverAddress, uint32_t version);
// Where it stands in the signed manifest: "patch/patch/pk%.4u.delta".
std::string SignedDeltaPath(uint32_t version);

class CDeltaDownload {
  public:
    CDeltaDownload(CUpdateDownload& download, RunReport& report, const StopEvent& stop,
                   ClientDirectory client);

    // Fetches package version's delta from serverAddress (nextServer: its URL on the next
    // server) and rebuilds the package from it. The size of the package now in the game
    // directory, to be applied as a downloaded one; 0 when the full package must be
    // downloaded instead, or the run ends (a stop, or a refused release: the download says so).
    uint64_t Rebuild(uint32_t version, const std::string& serverAddress,
                     CUpdateDownload::NextServer nextServer);

  private:
    bool Fetch(uint32_t version, const std::string& serverAddress,
               CUpdateDownload::NextServer nextServer);

    CUpdateDownload& download_;
    RunReport& report_;
    const StopEvent& stop_;
    ClientDirectory client_;
};

}  // namespace korvun
