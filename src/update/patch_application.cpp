// Applying a downloaded patch package, and the deletion list at the end of the patch phase.
#include <cerrno>
#include <limits>
#include <new>

#include "app/messages.h"
#include "platform/file_io.h"
#include "update/update_thread.h"
#include "zip/extract_package.h"
#include "zip/zip_exception.h"

namespace korvun {

namespace {

constexpr uint64_t SaturatingProduct(uint64_t factor, uint64_t size) {
    return size > std::numeric_limits<uint64_t>::max() / factor
               ? std::numeric_limits<uint64_t>::max()
               : factor * size;
}

// A marker that cannot be written stops its step with the step's message; a write-protected
// Version.ini is the exception the player can mend, named by the version record's message.
void ShowMarkerFailure(UpdaterWindow& window, const char* text, const char* code) {
    if (errno == EACCES || errno == EPERM || errno == EROFS) {
        window.ShowErrorText("SaveLocalVersion Error");
    } else {
        window.ShowErrorText(ComposeMessage(text, code));
    }
}

}  // namespace

// A damaged package or a file that cannot be written is a failed extraction, whichever way
// the reader reports it; nothing of it may escape the worker thread.
int CUpdateThread::ExtractCurrentPackage(const std::string& packageName) {
    try {
        return ExtractPackage(packageName, workingDirectory_, window_, stopEvent_);
    } catch (const CZipException&) {
        return 0;
    } catch (const CFileException&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool CUpdateThread::ApplyPatch() {
    // Each step begins only once its marker is on disk; a marker that cannot be written
    // stops the step before anything changes.
    if (!markers_.MarkExtractStart()) {
        ShowMarkerFailure(window_, "Extraction Failed", "c12");
        return false;
    }
    if (!HasFreeSpace(SaturatingProduct(3, expectedSize_))) {
        window_.ShowErrorText(
            ComposeMessage("Insufficient capacity on hard disk to extract the zip file.", "c11"));
        markers_.ClearStateMarker();
        return false;
    }

    window_.SetStatusText("Extracting");
    std::string packageName = PatchFileName(versions_.currentVersion);
    window_.ClearByteCounter();
    window_.ClearSpeedText();
    TestPoint("extract");
    int extracted = ExtractCurrentPackage(packageName);
    if (extracted == 0) {
        window_.ShowErrorText(ComposeMessage("Extraction Failed", "c12"));
        return false;
    }
    if (extracted == 2) {
        markers_.ClearStateMarker();
        return false;
    }
    // The marker says the files are there; after a power cut they must be. One flush of the
    // file system takes them all, folders included.
    if (!SyncFileSystem(".") || !markers_.MarkExtractEnd()) {
        ShowMarkerFailure(window_, "Extraction Failed", "c12");
        return false;
    }

    // Package 1 makes a fresh client; only later packages carry archive updates.
    if (versions_.currentVersion >= 2 && FileExists("update.kah") && FileExists("update.kaf")) {
        TestPoint("merge");
        if (!MergeUpdateArchive()) return false;
    }

    if (!SaveCurrentVersion()) {
        window_.ShowErrorText("SaveLocalVersion Error");
        return false;
    }
    TestPoint("version-saved");
    DeleteFile(packageName);
    TestPoint("applied");
    return !StopRequested();
}

bool CUpdateThread::MergeUpdateArchive() {
    uint64_t updateSize = FileSize("update.kaf").value_or(0);
    if (!HasFreeSpace(SaturatingProduct(2, updateSize))) {
        window_.ShowErrorText(
            ComposeMessage("Insufficient capacity on hard disk for update.", "c13"));
        return false;
    }
    window_.SetStatusText("Updating the file.");
    window_.ClearByteCounter();

    archiveMerger_.reset();
    try {
        archiveMerger_ = std::make_unique<GameArchive>(window_, markers_);
    } catch (const std::bad_alloc&) {
        window_.ShowErrorText(ComposeMessage("Update error: Insufficient memory.", "c14"));
        return false;
    }
    archiveMerged_ = true;
    return archiveMerger_->MergeUpdateArchive();
}

bool CUpdateThread::ApplyDeleteList() {
    bool listPresent = FileExists("delete.lst");
    if (!archiveMerged_ && !listPresent) return true;

    archiveMerger_.reset();
    try {
        archiveMerger_ = std::make_unique<GameArchive>(window_, markers_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!archiveMerger_->BeginChange() || !markers_.MarkUpdateStart()) return false;
    if (!archiveMerger_->LoadAndApplyDeleteList()) return false;
    if (!archiveMerger_->SaveIfChanged()) return false;
    // Without the marker the journal stays: the next start finds the new index in place.
    if (markers_.MarkUpdateEnd()) archiveMerger_->EndChange();
    return true;
}

void CUpdateThread::RecoverArchiveChange() {
    JournalRecovery found = RecoverFromJournal(GameArchive::kJournalName, "data.kah", "data.kaf");
    if (found != JournalRecovery::RolledBack && found != JournalRecovery::Committed) return;
    // The marker of the interrupted change goes before the journal does: a crash in between
    // finds the journal again and decides the same way.
    if (markers_.ClearStateMarker()) RemoveJournal(GameArchive::kJournalName);
}

}  // namespace korvun
