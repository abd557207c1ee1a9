#include <cstdlib>

#include <wx/app.h>

#include "ui/updater_app.h"

wxIMPLEMENT_APP_NO_MAIN(korvun::CUpdaterApp);

int main(int argc, char** argv) {
#ifdef __WXGTK__
    // The notice page needs no accelerated compositing; without it the page's renderer
    // process is much smaller. A value given from outside is kept.
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
#endif
    return wxEntry(argc, argv);
}
