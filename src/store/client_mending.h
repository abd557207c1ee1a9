// Mending a client from the content store: what a check found missing or changed is fetched
// blob by blob, each blob checked against its name and each item against its SHA-256, and
// written the way the updater writes: loose files beside their place and renamed into it,
// archive entries as an update archive that the archive's own merge takes in under its
// rollback journal. Nothing of the client changes before every byte needed is fetched and
// checked, so a store that serves one bad blob leaves the client as it was. Extra files stay.
#pragma once

#include <string>

#include "platform/client_directory.h"
#include "platform/progress_sink.h"
#include "store/content_check.h"
#include "store/store_fetch.h"

namespace korvun {

struct MendResult {
    bool ok = false;
    std::string error;  // why nothing (or not everything) was mended
    size_t looseWritten = 0;
    size_t entriesWritten = 0;
};

// Finishes or undoes an archive change that an interrupted run or repair left (its journal),
// so that a check sees the archive as the last whole change left it.
void RecoverInterruptedChange(const ClientDirectory& client);

// Removes what an interrupted repair or run left beside the client: staged files, the
// temporaries of Version.ini and data.kah, and an update archive that no package waits to
// merge (the state marker is not EXTRACT_END).
void RemoveLeftovers(const ClientDirectory& client, const ContentManifest& manifest);

// progress learns the bytes to fetch and write, and may stop the mending before it changes
// anything.
MendResult MendClient(const ClientDirectory& client, const ContentManifest& manifest,
                      const ContentCheckResult& check, StoreFetcher& fetcher,
                      ProgressSink* progress = nullptr);

}  // namespace korvun
