// Extraction of a whole patch package into the game directory.
#pragma once

#include <string>

namespace korvun {

class ProgressSink;

enum class ExtractResult {
    Failed,   // an entry could not be extracted; the rest were not tried
    Done,     // every entry was extracted
    Stopped,  // the progress sink asked to stop; the rest were not tried
};

// Extracts every entry of packageName below destRoot, in directory order. The sink is told
// the total of the entries' sizes, then the bytes as they are written; it is asked after
// every chunk and entry whether to go on. A damaged package raises CZipException; a file that
// cannot be opened, created or written raises CFileException.
ExtractResult ExtractPackage(const std::string& packageName, const std::string& destRoot,
                             ProgressSink& progress);

}  // namespace korvun
