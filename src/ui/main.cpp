#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <wx/app.h>

#include "ui/updater_app.h"
#include "update/build_info.h"
#include "update/release_verification.h"

wxIMPLEMENT_APP_NO_MAIN(korvun::CUpdaterApp);

namespace {

constexpr const char* kUsage =
    "Usage: korvun-updater [--help] [--version]\n"
    "\n"
    "Brings the game client in the current directory up to date from its update server in\n"
    "the updater window, and offers to start the game. Without options it opens the window.\n"
    "--version prints the version, the built-in release key and the default server.\n";

// Answered before the toolkit starts, so that they work without a display.
bool AnswerInformationOption(int argc, char** argv) {
    if (argc != 2) return false;
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs((korvun::ProductHeading() + kUsage).c_str(), stdout);
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::fputs(korvun::BuildInfoText("korvun-updater", korvun::CompiledReleaseKey()).c_str(),
                   stdout);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerInformationOption(argc, argv)) return 0;
#ifdef __WXGTK__
    // The notice page needs no accelerated compositing; without it the page's renderer
    // process is much smaller. A value given from outside is kept.
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
#endif
    return wxEntry(argc, argv);
}
