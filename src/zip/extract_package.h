// Extraction of a whole patch package into the game directory.
#pragma once

#include <string>

namespace korvun {

class UpdaterWindow;
class StopEvent;

enum ExtractResult {
    kExtractFailed = 0,   // an entry could not be extracted; the rest were not tried
    kExtractDone = 1,     // every entry was extracted
    kExtractStopped = 2,  // the stop event was set; the rest were not tried
};

// Extracts every entry of packageName below destRoot, in directory order, driving the
// window's file gauge by the bytes written and testing stop after every chunk and entry.
// A damaged package raises CZipException; a file that cannot be opened, created or written
// raises CFileException.
int ExtractPackage(const std::string& packageName, const std::string& destRoot,
                   UpdaterWindow& window, const StopEvent& stop);

}  // namespace korvun
