// --verify and --repair of the console program: the client checked against the signed
// content manifest of its version, and what differs fetched from the content store.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/client_directory.h"

namespace korvun {

struct ContentCommand {
    bool repair = false;
    std::string releaseKeyLine;  // the built-in key; a store is trusted only with one
    std::string certificateAuthorityFile;
    std::function<bool()> stopRequested;
    // Says nothing when no server has a store (a run that only tries one).
    bool quietWithoutStore = false;
};

// Exit statuses: the client is intact (or was repaired), it differs (or could not be
// repaired), or the check could not run (no key, no store, a refused manifest).
constexpr int kContentIntact = 0;
constexpr int kContentDiffers = 1;
constexpr int kContentUnchecked = 4;

// Where a run would end with the advice to install the client again, or fail on the archive:
// no client in the folder, a Version.ini without a valid CheckVersion or CurrentVersion, or
// no data.kah or data.kaf. Reads only.
bool NeedsMending(const ClientDirectory& client);

int RunContentCommand(const ClientDirectory& client, const ContentCommand& command, std::FILE* out,
                      std::FILE* err);

}  // namespace korvun
