// What an update run reports while it goes on: each call says what happened, and each
// front-end shows it in its own way (the desktop window on its thread, the console on its
// terminal). The worker never asks a front-end anything back; whatever it needs to know
// later (what it updated, whether a retry is showing) it keeps itself.
//
// Calls come from the worker's thread, one at a time.
#pragma once

#include <cstdint>
#include <string>

#include "app/messages.h"
#include "app/run_outcome.h"
#include "platform/status.h"

namespace korvun {

class RunEvents {
  public:
    virtual ~RunEvents() = default;

    // The status line.
    virtual void SetStatusText(const std::string& text) = 0;
    // A failure the player is told of: its message with its code.
    virtual void ReportError(const Status& failure) = 0;
    // A transfer waits before another attempt; text says which. Several may follow.
    virtual void ShowRetrying(const std::string& text) = 0;
    // The retries are over: recovered, the status line shows again what it showed before
    // them; otherwise what comes next replaces it.
    virtual void EndRetrying(bool recovered) = 0;

    // The packages of the run: how many, and that the next one begins.
    virtual void SetFileCount(int32_t n) = 0;
    virtual void NextFile() = 0;
    // A download begins: size bytes, start of them already there.
    virtual void BeginFileProgress(uint64_t size, uint64_t start) = 0;
    // A step that is no download (extraction, merge) begins on the file gauge: total units,
    // none done.
    virtual void BeginFileStep(uint64_t total) = 0;
    virtual void SetFileProgress(uint64_t received) = 0;
    virtual void SetTotalRange(uint64_t total) = 0;
    virtual void SetTotalProgress(uint64_t done) = 0;

    // The bytes of the current download, at most five times a second unless force.
    virtual void ShowByteCounter(int64_t received, int64_t expected, bool force) = 0;
    // A speed sample: the current file's received byte count after a block.
    virtual void UpdateSpeed(uint32_t received, uint32_t blockSize) = 0;
    virtual void RestartSpeedClock() = 0;
    virtual void ClearByteCounter() = 0;
    virtual void ClearSpeedText() = 0;

    // Facts of the run that decide what the progress shows: the packages are being
    // fetched; the updater itself is being replaced; the run has changed the client.
    virtual void SetPatchPhase(bool on) = 0;
    virtual void SetReplaceUpdater(bool on) = 0;
    virtual void SetUpdatedThisRun(bool updated) = 0;

    // The client is current / must be installed again.
    virtual void ShowCompleted() = 0;
    virtual void ShowReinstall() = 0;
    // A modal message; returns when the player has closed it.
    virtual void ShowMessageBox(const std::string& text,
                                const std::string& caption = kAppTitle) = 0;
    // The program should close (the run hands over, or cannot begin).
    virtual void RequestClose() = 0;
    // The run turned to a mirror: the server pages (the notice) come from there too.
    virtual void ServerChanged(const std::string& address) = 0;
    // A download goes on from bytes an earlier attempt or run left: held of size bytes of
    // name are already there. The window shows that in its gauge; a log may say it.
    virtual void ResumingDownload(const std::string& /*name*/, uint64_t /*held*/,
                                  uint64_t /*size*/) {}
    // The run has ended; nothing follows.
    virtual void RunEnded(const RunOutcome& outcome) = 0;
};

}  // namespace korvun
