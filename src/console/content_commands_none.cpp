// A build without the content store: --verify and --repair say that they cannot run.
#include "console/content_commands.h"

namespace korvun {

bool NeedsMending(const ClientDirectory&) { return false; }

int RunContentCommand(const ClientDirectory&, const ContentCommand&, std::FILE*, std::FILE* err) {
    std::fprintf(err, "korvun-updater-console: this build has no content store support\n");
    return kContentUnchecked;
}

}  // namespace korvun
